#include "engine/remote-aria2.h"

#include <cctype>

#include "engine/aria2-request.h"
#include "util/json-object.h"
#include "util/shown-text.h"

namespace korvath {

std::string HttpRpcUrl(std::string_view rpc_url) {
  if (rpc_url.starts_with("ws://")) return "http://" + std::string(rpc_url.substr(5));
  if (rpc_url.starts_with("wss://")) return "https://" + std::string(rpc_url.substr(6));
  return std::string(rpc_url);
}

Text FingerprintForPeople(std::string_view hex) {
  Text out;
  for (size_t i = 0; i < hex.size(); ++i) {
    if (i > 0 && i % 2 == 0) out += ':';
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(hex[i])));
  }
  return out;
}

Text RemoteFailureMessage(const EngineState& state, const RpcAnswer& answer) {
  const Text where = Utf8ToGbk(state.rpc_url);
  switch (answer.failure) {
    case RpcFailure::kUnauthorized:
      return Gbk(u8"远程aria2（") + where +
             Gbk(u8"）拒绝了请求（Unauthorized）：RPC密钥不对。请在设置中填写与该aria2的rpc-"
                 u8"secret相同的密钥。");
    case RpcFailure::kCertificateRefused:
      if (answer.certificate_sha256.empty()) {
        return Gbk(u8"远程aria2（") + where + Gbk(u8"）的证书不被信任，已拒绝连接。");
      }
      return Gbk(u8"远程aria2（") + where +
             Gbk(u8"）的证书不被信任，已拒绝连接。它出示的证书SHA-256指纹是：") +
             FingerprintForPeople(answer.certificate_sha256) +
             Gbk(u8"。如果您确认这正是您自己服务器的证书，请把这个指纹填入设置中的certificate-sha256。");
    case RpcFailure::kUnreachable:
    case RpcFailure::kNone:
      break;
  }
  return Gbk(u8"无法连接远程aria2（") + where +
         Gbk(u8"）。请确认那台机器已开机、aria2正在运行并开启了RPC，且设置中的地址和端口无误。");
}

bool ConnectRemoteAria2(Desktop& desktop, EngineState& state, const RemoteAria2Params& params) {
  state.cookie_header = "Cookie: " + params.cookie;
  state.rpc_port.clear();
  state.aria2_pid = 0;
  state.rpc_url = params.rpc_url;
  state.rpc_secret = params.rpc_secret;
  desktop.Log().TreatAsSecret(state.rpc_secret);
  state.certificate_sha256 = params.certificate_sha256;
  RpcAnswer answer =
      CallRpc(desktop, state, Aria2Request(aria2_method::kGetVersion, state.rpc_secret).Body());
  JsonObject reply;
  reply.ParseUtf8(answer.reply);
  const Text version = reply.GetProperty("result.version");
  const bool ok = answer.failure == RpcFailure::kNone && !version.empty();
  desktop.Log().Record("remote_aria2", {{"url", state.rpc_url}, {"ok", ok}, {"version", version}});
  if (ok) return true;
  if (answer.failure == RpcFailure::kNone) {
    MessageBox(desktop,
               Gbk(u8"地址") + Utf8ToGbk(state.rpc_url) + Gbk(u8"的回答不像aria2，原始数据：") +
                   OneLineText(QuotedAria2Reply(answer.reply)),
               kMbIconError);
  } else {
    MessageBox(desktop, RemoteFailureMessage(state, answer), kMbIconError);
  }
  return false;
}

}  // namespace korvath
