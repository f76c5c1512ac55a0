// Only whole files are whole, with the real aria2 and the intake: an error
// body in XML or JSON sent with status 200 is no file, whatever the page
// wrote as its size and whatever it named it, and a body sent without a
// length that ends early is not passed on the page's rounded figure.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "engine/aria2-bootstrap.h"
#include "engine/engine-fixture.h"
#include "engine/finished-downloads.h"
#include "engine/rpc-client.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

constexpr const char* kS3Error =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>AccessDenied</Code></Error>";
constexpr const char* kJsonError = R"({"code":403,"message":"link expired"})";
constexpr std::size_t kCutAt = 900 * 1024;  // of a file the page calls "1 MB"

// Answers every request on its own thread: /xml and /json with an error body
// and status 200, /cut with 900 KiB and no length, trickled so that aria2 is
// seen downloading it, then the connection closed; /whole the same bytes
// with their length.
class StorageServer {
 public:
  StorageServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}};
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    accepter_ = std::thread([this] {
      for (int client; (client = ::accept(listener_, nullptr, nullptr)) >= 0;) {
        clients_.emplace_back([this, client] { Serve(client); });
      }
    });
  }
  ~StorageServer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    if (accepter_.joinable()) accepter_.join();
    for (std::thread& client : clients_) client.join();
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  void Serve(int client) {
    std::string head;
    char buffer[4096];
    for (ssize_t got;
         head.find("\r\n\r\n") == std::string::npos && (got = ::read(client, buffer, sizeof buffer)) > 0;)
      head.append(buffer, static_cast<std::size_t>(got));
    const std::string path =
        head.substr(head.find(' ') + 1, head.find(' ', head.find(' ') + 1) - head.find(' ') - 1);
    const std::string body = path.starts_with("/xml")    ? kS3Error
                             : path.starts_with("/json") ? kJsonError
                                                         : "";
    const bool cut = path.starts_with("/cut");
    std::string reply = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
    if (!cut) reply += "Content-Length: " + std::to_string(body.empty() ? kCutAt : body.size()) + "\r\n";
    reply += "\r\n";
    Send(client, reply);
    if (!body.empty()) {
      Send(client, body);
    } else {
      for (std::size_t sent = 0; sent < kCutAt && !stopping_; sent += 64 * 1024) {
        Send(client, std::string(std::min<std::size_t>(64 * 1024, kCutAt - sent), 'z'));
        if (cut) std::this_thread::sleep_for(std::chrono::milliseconds(80));
      }
    }
    ::close(client);
  }
  static void Send(int client, const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
      const ssize_t put = ::send(client, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (put <= 0) return;
      at += static_cast<std::size_t>(put);
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread accepter_;
  std::vector<std::thread> clients_;
};

class WholeFiles : public testing::Aria2Test {
 protected:
  void SetUp() override {
    testing::Aria2Test::SetUp();
    ASSERT_TRUE(StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = program_dir.string()}))
        << desktop->BoxTexts();
    watch = std::make_unique<FinishedDownloadWatch>(work_dir.string(), &sizes);
    watch->Look(*desktop, state);
  }
  // Clicks `path` on a page that shows `name` and `size`, waits until aria2
  // calls the download complete (the notices' length looks going on
  // meanwhile) and returns what the watch makes of it.
  FinishedDownload Download(const std::u8string& name, const std::u8string& size, const std::string& path) {
    testing::SharePage page(U8(name.c_str()), U8(size.c_str()));
    InterceptDownload(
        {.desktop = *desktop, .engine = state, .page = page, .shell = shell, .stated_sizes = &sizes},
        server.Url(path) + "?bkt=1");
    const std::string gid = desktop->Events("task_created").back()["gid"];
    EXPECT_TRUE(testing::WaitFor(
        [&] {
          watch->LookAtLengths(*desktop, state);
          return testing::Aria2Call(state, "aria2.tellStatus", {gid})["result"].value("status", "") ==
                 "complete";
        },
        std::chrono::seconds(15)));
    std::vector<FinishedDownload> news;
    EXPECT_TRUE(testing::WaitFor([&] { return !(news = watch->Look(*desktop, state)).empty(); },
                                 std::chrono::seconds(5)));
    return news.empty() ? FinishedDownload{} : news.back();
  }
  fs::path Saved(const char8_t* name) { return work_dir / "ZorbitDravenet" / U8(name); }

  StorageServer server;
  testing::CountingShell shell;
  StatedSizes sizes{""};
  std::unique_ptr<FinishedDownloadWatch> watch;
};

TEST_F(WholeFiles, XmlAndJsonErrorBodiesAreNoFilesWhateverThePageSaid) {
  // A bidirectional override in the name, a size with grouped thousands.
  const FinishedDownload xml = Download(u8"report\u202Egpj.zip", u8"1,234 KB", "/xml");
  const std::string said = U8(u8"收到的是服务器的出错回复而不是文件（") +
                           std::to_string(std::strlen(kS3Error)) + U8(u8" B，分享页写的是 1,234 KB）");
  EXPECT_NE(GbkToUtf8(xml.mismatch).find(said), std::string::npos) << GbkToUtf8(xml.mismatch);
  EXPECT_EQ(testing::ReadFile(Saved(u8"reportgpj.zip")), kS3Error);
  // A name of nothing visible and a size that is nonsense: still checked.
  const FinishedDownload json = Download(u8"\u200B\u2060 ", u8"1e400 GB", "/json");
  EXPECT_NE(GbkToUtf8(json.mismatch).find(U8(u8"收到的是服务器的出错回复而不是文件")), std::string::npos)
      << GbkToUtf8(json.mismatch);
  EXPECT_EQ(testing::ReadFile(Saved(u8"未命名")), kJsonError);
  EXPECT_EQ(desktop->Events("stated_size_unread").size(), 1u);
  EXPECT_EQ(desktop->Events("arrival_checked").size(), 2u);
}

TEST_F(WholeFiles, ABodyWithoutALengthThatEndsEarlyIsNotCalledWhole) {
  const FinishedDownload cut = Download(u8"cut.bin", u8"1 MB", "/cut");
  EXPECT_TRUE(cut.ok);
  EXPECT_EQ(cut.mismatch, "");
  EXPECT_EQ(GbkToUtf8(cut.unconfirmed)
                .rfind(U8(u8"服务器没有告知文件的长度，无法确认文件是否完整：收到 900.0 KB"), 0),
            0u)
      << GbkToUtf8(cut.unconfirmed);
  EXPECT_EQ(fs::file_size(Saved(u8"cut.bin")), kCutAt);
  // The same bytes with their length are what the server meant to send.
  const FinishedDownload whole = Download(u8"whole.bin", u8"1 MB", "/whole");
  EXPECT_TRUE(whole.ok);
  EXPECT_EQ(whole.mismatch, "");
  EXPECT_EQ(whole.unconfirmed, "");
}

}  // namespace
}  // namespace korvath
