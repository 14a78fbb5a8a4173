#include "tools/browser/page_server.h"

#include <httplib.h>

#include "tools/arguments.h"

namespace quillane::browser {
namespace {

// Large enough for a PNG of the largest offered size.
constexpr size_t kLargestPost = 64 << 20;

}  // namespace

PageServer::PageServer(std::string page) : server_(std::make_unique<httplib::Server>()) {
  server_->set_payload_max_length(kLargestPost);
  server_->Get("/", [page = std::move(page)](const httplib::Request&, httplib::Response& response) {
    response.set_content(page, "text/html; charset=utf-8");
  });
  server_->Post("/frame", [this](const httplib::Request& request, httplib::Response& response) {
    // The size names a file later, so only a well-formed size is kept.
    const auto size = tools::parseSize(request.get_param_value("size"));
    if (!size) {
      response.status = 400;
      return;
    }
    std::lock_guard lock(mutex_);
    pictures_[tools::sizeText(*size)] = request.body;
    response.status = 204;
  });
  server_->Post("/report", [this](const httplib::Request& request, httplib::Response& response) {
    {
      std::lock_guard lock(mutex_);
      if (!report_) report_ = request.body;
    }
    reported_.notify_all();
    response.status = 204;
  });
  const int port = server_->bind_to_any_port("127.0.0.1");
  if (port <= 0) return;
  listener_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only ends a server that runs already: wait for it, so the destructor cannot hang.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (server_->is_running()) port_ = port;
}

PageServer::~PageServer() {
  server_->stop();
  if (listener_.joinable()) listener_.join();
}

std::optional<std::string> PageServer::waitForReport(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  reported_.wait_for(lock, timeout, [this] { return report_.has_value(); });
  return report_;
}

std::map<std::string, std::string> PageServer::pictures() const {
  std::lock_guard lock(mutex_);
  return pictures_;
}

}  // namespace quillane::browser
