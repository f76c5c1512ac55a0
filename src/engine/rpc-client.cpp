#include "engine/rpc-client.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <optional>

#include "engine/aria2-request.h"
#include "engine/processes.h"
#include "engine/remote-aria2.h"
#include "http/winhttp-request.h"
#include "http/wininet-request.h"
#include "util/shown-text.h"

namespace korvath {
namespace {

// The method name for the event log, read from the body's "method" member.
std::string MethodOf(std::string_view body) {
  constexpr std::string_view kKey = "\"method\":\"";
  auto start = body.find(kKey);
  if (start == std::string_view::npos) return {};
  start += kKey.size();
  auto end = body.find('"', start);
  return std::string(
      body.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

void RecordRpc(Desktop& desktop, std::string_view body, bool ok, std::int64_t started) {
  desktop.Log().Record("rpc", {{"method", MethodOf(body)}, {"ok", ok}, {"ms", MonotonicMs() - started}});
}

constexpr std::int64_t kNoDeadline = INT64_MAX;
thread_local std::int64_t current_deadline_ms = kNoDeadline;

// The time a call may take now: the call limit, cut to what is left before
// the deadline, and never below 1 ms (0 would mean no limit to curl).
long CallLimitMs(const EngineState& state) {
  const long limit = state.Remote() ? kRemoteCallLimitMs : kLocalCallLimitMs;
  if (current_deadline_ms == kNoDeadline) return limit;
  const std::int64_t left = current_deadline_ms - MonotonicMs();
  return static_cast<long>(std::clamp<std::int64_t>(left, 1, limit));
}

}  // namespace

RpcDeadline::RpcDeadline(std::int64_t deadline_ms) : outer_(current_deadline_ms) {
  current_deadline_ms = std::min(outer_, deadline_ms);
}

RpcDeadline::~RpcDeadline() { current_deadline_ms = outer_; }

bool RpcDeadline::Passed() {
  return current_deadline_ms != kNoDeadline && MonotonicMs() >= current_deadline_ms;
}

Text UnixTimestampText() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  // The local wall clock read as if it were UTC, counted from 08:00 of
  // 1970-01-01: the original's arithmetic, which is Unix time on a UTC+8 clock.
  std::int64_t seconds = static_cast<std::int64_t>(timegm(&local)) - 8 * 3600;
  return ToText(seconds) + "000";
}

Text RpcEndpoint(const EngineState& state) {
  if (state.Remote()) {
    const std::string url = HttpRpcUrl(state.rpc_url);
    const auto fragment = url.find('#');
    // The routine sends the path in the bytes it is given: aria2 gets the
    // address in UTF-8, as the user wrote it.
    const Text base(url.substr(0, fragment));
    return base + (base.find('?') == Text::npos ? "?" : "&") + "tm=" + UnixTimestampText();
  }
  return "http://127.0.0.1:" + Text(state.rpc_port) + "/jsonrpc?tm=" + UnixTimestampText();
}

Text QuotedReply(std::string_view reply) {
  if (reply.size() <= kMaxQuotedReply) return Text(reply);
  // System text steps one byte below 0x80, otherwise two, or four for a
  // GB18030 four-byte character (lead, digit, lead, digit).
  auto digit = [&](std::size_t at) { return reply[at] >= '0' && reply[at] <= '9'; };
  std::size_t end = 0;
  while (true) {
    std::size_t step = 1;
    if (static_cast<unsigned char>(reply[end]) >= 0x80) {
      step = (end + 3 < reply.size() && digit(end + 1) &&
              static_cast<unsigned char>(reply[end + 2]) >= 0x81 && digit(end + 3))
                 ? 4
                 : 2;
    }
    if (end + step > kMaxQuotedReply) break;
    end += step;
  }
  return Text(reply.substr(0, end)) + Gbk(u8"……");
}

Text QuotedAria2Reply(std::string_view reply_utf8) {
  // Only the start of a long reply is shown, so only the start is converted:
  // a megabyte reply would otherwise be copied whole. Every character, and
  // every invalid byte run that becomes one "?", takes at least a quarter as
  // many bytes in system text as in UTF-8, so this much still yields more
  // than the box shows and the cut below is where it would be for the whole.
  constexpr std::size_t kConverted = 4 * kMaxQuotedReply + 4;
  if (reply_utf8.size() > kConverted) {
    std::size_t end = kConverted;
    while (end > 0 && (static_cast<unsigned char>(reply_utf8[end]) & 0xC0) == 0x80) --end;
    reply_utf8 = reply_utf8.substr(0, end);
  }
  return QuotedReply(Utf8ToGbk(reply_utf8));
}

RpcAnswer CallRpc(Desktop& desktop, const EngineState& state, std::string_view body) {
  std::int64_t started = MonotonicMs();
  WinInetParams params{.url = RpcEndpoint(state),
                       .method = 1,
                       .post_data = Text(body),
                       .timeout_ms = CallLimitMs(state),
                       .certificate_sha256 = Text(state.certificate_sha256)};
  WinInetResult result;
  if (RpcDeadline::Passed()) {
    // Nothing is sent: the answer would come too late to be used.
  } else {
    desktop.RunAside([&] { result = HttpRequestWinInet(params); });
  }
  // Straight from the bytes: a reply may be tens of megabytes, and a copy
  // through system text on the way would hold it twice more.
  const auto zero = std::find(result.body.begin(), result.body.end(), std::uint8_t{0});
  RpcAnswer answer{.reply = std::string(result.body.begin(), zero),
                   .certificate_sha256 = result.peer_certificate_sha256};
  if (result.certificate_refused) {
    answer.failure = RpcFailure::kCertificateRefused;
  } else if (answer.reply.empty()) {
    answer.failure = RpcFailure::kUnreachable;
  } else if (FindText(answer.reply, "\"Unauthorized\"") != -1 && FindText(answer.reply, "\"error\"") != -1) {
    answer.failure = RpcFailure::kUnauthorized;
  }
  RecordRpc(desktop, body, !answer.reply.empty(), started);
  return answer;
}

std::string SendRpc(Desktop& desktop, const EngineState& state, std::string_view body) {
  return CallRpc(desktop, state, body).reply;
}

std::string GlobalOptionsBody(const EngineState& state, const GlobalOptions& options) {
  namespace option = aria2_option;
  return Aria2Request(aria2_method::kChangeGlobalOption, state.rpc_secret)
      .AddOptions(Aria2Options()
                      .SetSwitch(option::kContinue, options.continue_downloads)
                      .SetSwitch(option::kAutoFileRenaming, options.auto_file_renaming)
                      .SetSwitch(option::kFollowTorrent, options.follow_torrent)
                      .Set(option::kSplit, options.split)
                      .Set(option::kMaxConcurrentDownloads, options.concurrent_tasks)
                      .Set(option::kMaxConnectionPerServer, options.connections_per_server)
                      .Set(option::kUserAgent, options.user_agent)
                      .Set(option::kTimeout, options.timeout_seconds)
                      .Set(option::kConnectTimeout, options.connect_timeout_seconds)
                      .Set(option::kMinSplitSize, options.min_split_size))
      .Body();
}

bool SetGlobalOptions(Desktop& desktop, const EngineState& state, const GlobalOptions& options) {
  std::string reply;
  if (state.Remote()) {
    // Not ours to wait for: it runs, or the user must be told why it cannot be reached.
    RpcAnswer answer = CallRpc(desktop, state, GlobalOptionsBody(state, options));
    desktop.PumpMessages();
    if (answer.failure != RpcFailure::kNone) {
      NoticeBox(desktop, RemoteFailureMessage(state, answer), kMbIconError);
      return false;
    }
    reply = answer.reply;
  } else {
    reply = SendRpc(desktop, state, GlobalOptionsBody(state, options));
    desktop.PumpMessages();
  }
  if (reply.empty()) {
    // aria2 may have been started a moment ago and not listen yet.
    desktop.DelayPumping(500);
    const std::string body = GlobalOptionsBody(state, options);
    std::int64_t started = MonotonicMs();
    WinHttpParams params{.url = RpcEndpoint(state),
                         .method = 1,
                         .post_data = Text(body),
                         .timeout_seconds = static_cast<int>((CallLimitMs(state) + 999) / 1000)};
    desktop.RunAside([&] { reply = std::string(HttpRequestWinHttp(params).text); });
    RecordRpc(desktop, body, !reply.empty(), started);
    desktop.PumpMessages();
    if (reply.empty()) {
      NoticeBox(desktop, Gbk(u8"初始化aria2的rpc服务失败，请检查您电脑的防火墙设置。"));
      return false;
    }
  }
  if (FindText(reply, "OK") == -1) {
    NoticeBox(desktop, Gbk(u8"aria2在修改配置时发生错误，详细信息：") + OneLineText(QuotedAria2Reply(reply)));
    return false;
  }
  desktop.Log().Record("global_options_accepted");
  return true;
}

std::vector<std::string> SetKeptOptions(Desktop& desktop, const EngineState& state,
                                        const std::vector<std::pair<std::string, std::string>>& options) {
  auto send = [&](std::size_t from, std::size_t to) {
    Aria2Options sent;
    for (std::size_t i = from; i < to; ++i) sent.Set(options[i].first, options[i].second);
    const std::string reply =
        SendRpc(desktop, state,
                Aria2Request(aria2_method::kChangeGlobalOption, state.rpc_secret).AddOptions(sent).Body());
    return reply.empty() ? std::optional<bool>()
                         : std::optional<bool>(FindText(reply, "\"result\":\"OK\"") != -1);
  };
  std::vector<std::string> refused;
  if (options.empty()) return refused;
  const std::optional<bool> together = send(0, options.size());
  if (together.value_or(false)) return refused;
  for (std::size_t i = 0; i < options.size(); ++i) {
    // aria2 that did not answer the batch is not asked once per option.
    if (!together || !send(i, i + 1).value_or(false)) refused.push_back(options[i].first);
  }
  return refused;
}

bool PauseAll(Desktop& desktop, const EngineState& state) {
  return !SendRpc(desktop, state, Aria2Request(aria2_method::kPauseAll, state.rpc_secret).Body()).empty();
}

}  // namespace korvath
