#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace quillane::browser {

// Serves the camera page on 127.0.0.1 at a port the system picks, and keeps what the page posts
// back: a PNG picture per watched size and one report. The server answers on threads of its own;
// the methods are called from the tool's thread and touch the posted data under `mutex_`.
class PageServer {
 public:
  explicit PageServer(std::string page);
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  // The port it listens on; 0 when it could not listen.
  int port() const { return port_; }

  // The page's report (JSON text), once it has arrived, waiting up to `timeout` for it.
  std::optional<std::string> waitForReport(std::chrono::milliseconds timeout);
  // The pictures posted so far, PNG bytes by the size ("640x480") they were asked for.
  std::map<std::string, std::string> pictures() const;

 private:
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  std::thread listener_;
  mutable std::mutex mutex_;
  std::condition_variable reported_;
  std::optional<std::string> report_;            // guarded by mutex_
  std::map<std::string, std::string> pictures_;  // guarded by mutex_
};

}  // namespace quillane::browser
