#include "gamelink/ftp_session.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>

#include "core/bus.h"
#include "core/unique_fd.h"

namespace kv {

namespace {

constexpr const char* kLoginFailed =
    "Can not Connect and Login to FTP-Server please Check youre Login and Connection Data - ";

// Where to connect and how to log in, after the proxy method.
struct TLogin {
  std::string host, port, user, password;
  std::string error;  // not empty: this method cannot log in
};

int PortNumber(const std::string& text, int fallback) {
  if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), ::isdigit)) return fallback;
  const int port = std::stoi(text);
  return port > 0 && port < 65536 ? port : fallback;
}

// The proxy methods that go through the login itself (the proxy reads the
// target from the user name) work; those that need commands before the
// login (a proxy login of its own, SITE, OPEN) or an HTTP proxy do not.
TLogin LoginFor(const TLogSourceSettings& s) {
  const TProxySettings& p = s.ftp_proxy;
  TLogin l{s.ftp_host, std::to_string(PortNumber(s.ftp_port, 21)), s.ftp_login, s.ftp_password, {}};
  if (p.method == 0) return l;
  const std::string proxy_port = std::to_string(PortNumber(p.port, 21));
  switch (p.method) {
    case 1:  // UserSite
      if (!p.user.empty()) break;
      return {p.host, proxy_port, s.ftp_login + "@" + s.ftp_host, s.ftp_password, {}};
    case 4:  // UserPass
      return {p.host,
              proxy_port,
              s.ftp_login + "@" + p.user + "@" + s.ftp_host,
              p.password.empty() ? s.ftp_password : s.ftp_password + "@" + p.password,
              {}};
    case 5:  // Transparent
      if (!p.user.empty()) break;
      return {p.host, proxy_port, s.ftp_login, s.ftp_password, {}};
    default: break;
  }
  l.error = "Command not supported.";
  return l;
}

// The file name as a URL path: every byte escaped but the separators, a
// leading separator kept as the absolute path it is (%2F).
std::string UrlPath(CURL* easy, const std::string& file) {
  std::string out = "/";
  size_t start = 0;
  if (!file.empty() && file[0] == '/') {
    out += "%2F";
    start = 1;
  }
  while (start <= file.size()) {
    size_t end = file.find('/', start);
    if (end == std::string::npos) end = file.size();
    char* part = curl_easy_escape(easy, file.data() + start, static_cast<int>(end - start));
    if (part) out += part;
    curl_free(part);
    if (end < file.size()) out += '/';
    start = end + 1;
  }
  return out;
}

std::once_flag g_curl_once;

}  // namespace

// One libcurl connection to the FTP server (kept open between transfers by
// the multi handle's connection cache) and the local copy it writes.
class TFtpSession::TClient {
 public:
  TClient(const TLogSourceSettings& s, const TFtpTimeouts& t) : login_(LoginFor(s)) {
    std::call_once(g_curl_once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    multi_ = curl_multi_init();
    easy_ = curl_easy_init();
    if (!multi_ || !easy_) throw std::runtime_error("libcurl could not be initialised");
    base_ = "ftp://" + UrlHost(login_.host) + ":" + login_.port;
    file_url_ = base_ + UrlPath(easy_, s.ftp_file);
    passive_ = s.ftp_passive;
    timeouts_ = t;
  }
  ~TClient() {
    if (easy_) curl_easy_cleanup(easy_);
    if (multi_) curl_multi_cleanup(multi_);
  }

  const std::string& LoginError() const { return login_.error; }
  // Makes a running Perform look at its stop condition at once. Any thread.
  void Wake() {
    if (multi_) curl_multi_wakeup(multi_);
  }

  // Connects and logs in (when not connected) and checks that the server
  // resumes downloads: REST needs binary mode, and the offset is set back.
  CURLcode ConnectAndCheckResume(const std::function<bool()>& stop) {
    Prepare(base_ + "/");
    curl_slist* quote = nullptr;
    for (const char* cmd : {"TYPE I", "REST 1", "REST 0"}) quote = curl_slist_append(quote, cmd);
    curl_easy_setopt(easy_, CURLOPT_QUOTE, quote);
    curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
    const CURLcode rc = Perform(stop);
    curl_easy_setopt(easy_, CURLOPT_QUOTE, nullptr);
    curl_slist_free_all(quote);
    return rc;
  }
  // The remote log's size from SIZE, or -1.
  CURLcode RemoteSize(const std::function<bool()>& stop, int64_t& size) {
    Prepare(file_url_);
    curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
    const CURLcode rc = Perform(stop);
    curl_off_t length = -1;
    if (rc == CURLE_OK) curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    size = length;
    return rc;
  }
  // RETR from offset (announced by REST), up to and including `last` when
  // it is not negative; every byte goes to sink, which returns false to
  // abort.
  using TSink = std::function<bool(const char*, size_t)>;
  CURLcode Download(const std::function<bool()>& stop, int64_t offset, int64_t last, TSink sink) {
    Prepare(file_url_);
    sink_ = std::move(sink);
    std::string range;
    if (last >= 0) {
      range = std::to_string(offset) + "-" + std::to_string(last);
      curl_easy_setopt(easy_, CURLOPT_RANGE, range.c_str());
    } else {
      curl_easy_setopt(easy_, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(offset));
    }
    const CURLcode rc = Perform(stop);
    curl_easy_setopt(easy_, CURLOPT_RANGE, nullptr);
    curl_easy_setopt(easy_, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(0));
    sink_ = nullptr;
    return rc;
  }

  // The last failure in words: libcurl's detail when it gave one.
  std::string ErrorText(CURLcode rc) const {
    return error_[0] != '\0' ? std::string(error_) : std::string(curl_easy_strerror(rc));
  }

 private:
  static std::string UrlHost(const std::string& host) {
    // An IPv6 literal needs its brackets in the URL.
    return host.find(':') != std::string::npos && host.front() != '[' ? "[" + host + "]" : host;
  }

  // libcurl takes some bounds in whole seconds only.
  static long Seconds(int64_t ms) { return std::max<long>(1, static_cast<long>((ms + 999) / 1000)); }

  static size_t OnData(char* data, size_t, size_t n, void* self) {
    auto* client = static_cast<TClient*>(self);
    // Without a sink (SIZE, the resume check) what libcurl reports is dropped.
    return !client->sink_ || client->sink_(data, n) ? n : 0;
  }
  static int OnProgress(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return (*static_cast<const std::function<bool()>*>(stop))() ? 1 : 0;
  }

  void Prepare(const std::string& url) {
    curl_easy_reset(easy_);
    error_[0] = '\0';
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &TClient::OnData);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(easy_, CURLOPT_USERNAME, login_.user.empty() ? "anonymous" : login_.user.c_str());
    curl_easy_setopt(easy_, CURLOPT_PASSWORD, login_.password.c_str());
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    // "RETR dir/file" as the operator wrote the name, not a CWD per folder.
    curl_easy_setopt(easy_, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(easy_, CURLOPT_FTP_USE_EPSV, 0L);
    curl_easy_setopt(easy_, CURLOPT_FTPPORT, passive_ ? nullptr : "-");
    // Every wait on the server has its bound: the connection with the
    // login, each reply, a data connection that brings nothing, a transfer.
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts_.connect_ms));
    curl_easy_setopt(easy_, CURLOPT_SERVER_RESPONSE_TIMEOUT, Seconds(timeouts_.response_ms));
    curl_easy_setopt(easy_, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(timeouts_.connect_ms));
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, Seconds(timeouts_.stall_ms));
    curl_easy_setopt(easy_, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts_.transfer_ms));
  }

  CURLcode Perform(const std::function<bool()>& stop) {
    curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &TClient::OnProgress);
    curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, &stop);
    if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) return CURLE_FAILED_INIT;
    CURLcode result = CURLE_OK;
    for (;;) {
      int still = 0;
      if (curl_multi_perform(multi_, &still) != CURLM_OK) {
        result = CURLE_FAILED_INIT;
        break;
      }
      bool done = false;
      int queued = 0;
      while (CURLMsg* m = curl_multi_info_read(multi_, &queued)) {
        if (m->msg == CURLMSG_DONE) {
          result = m->data.result;
          done = true;
        }
      }
      if (done || still == 0) break;
      if (stop()) {
        result = CURLE_ABORTED_BY_CALLBACK;
        break;
      }
      // Wakes on the sockets, curl's own timers or Wake (a stop).
      curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    }
    curl_multi_remove_handle(multi_, easy_);
    return result;
  }

  TLogin login_;
  std::string base_, file_url_;
  bool passive_ = true;
  TFtpTimeouts timeouts_;
  CURLM* multi_ = nullptr;
  CURL* easy_ = nullptr;
  char error_[CURL_ERROR_SIZE] = {};
  TSink sink_;
};

// The local copy: appended to by the downloader only; its last bytes are
// kept to compare with the remote log at the next download.
class TFtpSession::TCopy {
 public:
  // Creates the copy empty (a copy left from an earlier run is emptied).
  explicit TCopy(const std::string& path) : path_(path) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    fd_.Reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd_) throw std::runtime_error("Cannot create file \"" + path + "\". " + std::strerror(errno));
  }
  // A new, empty file under the copy's name (by rename, so the follower
  // sees a new file and reads it from its start).
  void Replace() {
    const std::string fresh = path_ + ".new";
    TUniqueFd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd || ::rename(fresh.c_str(), path_.c_str()) != 0)
      throw std::runtime_error("Cannot create file \"" + path_ + "\". " + std::strerror(errno));
    fd_ = std::move(fd);
    size_ = 0;
    tail_.clear();
  }
  // Zeros up to size: the text that was there before we came.
  void Pad(int64_t size) {
    if (::ftruncate(fd_.Get(), size) != 0) throw std::runtime_error(std::strerror(errno));
    size_ = size;
    tail_.clear();
  }
  bool Append(const char* data, size_t n) {
    for (size_t done = 0; done < n;) {
      const ssize_t w = ::pwrite(fd_.Get(), data + done, n - done, size_ + static_cast<int64_t>(done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        error_ = std::strerror(errno);
        return false;
      }
      done += static_cast<size_t>(w);
    }
    size_ += static_cast<int64_t>(n);
    tail_.append(data, n);
    if (tail_.size() > static_cast<size_t>(TFtpSession::kOverlapBytes))
      tail_.erase(0, tail_.size() - TFtpSession::kOverlapBytes);
    return true;
  }
  int64_t Size() const { return size_; }
  // The copy's last bytes as they came from the server (empty after Pad).
  const std::string& Tail() const { return tail_; }
  const std::string& Error() const { return error_; }

 private:
  std::string path_;
  TUniqueFd fd_;
  int64_t size_ = 0;
  std::string tail_;
  std::string error_;
};

TThreadPtr<TFtpSession> TFtpSession::Create(TLogSourceSettings settings, std::string local_copy,
                                            TFtpTimeouts timeouts) {
  return MakeThread<TFtpSession>(std::move(settings), std::move(local_copy), timeouts);
}

TFtpSession::TFtpSession(TLogSourceSettings settings, std::string local_copy, TFtpTimeouts timeouts)
    : settings_(std::move(settings)),
      local_copy_(std::move(local_copy)),
      timeouts_(timeouts),
      client_(std::make_unique<TClient>(settings_, timeouts_)) {}

TFtpSession::~TFtpSession() {
  TerminateAndJoin();
  copy_.reset();
}

void TFtpSession::Terminate() {
  TGeneralThread::Terminate();
  client_->Wake();
}

void TFtpSession::Execute() {
  running_.store(true, std::memory_order_release);
  SetStarted(true);
  PostGlobal("TFtpSession Started", mlInformation);
  try {
    Body();
  } catch (const std::exception& e) {
    PostGlobal(std::string("TFtpSession - error occured: ") + e.what(), mlCritical);
  }
  // Ended before it says so: whoever hears the message finds it ended.
  running_.store(false, std::memory_order_release);
  PostGlobal("TFtpSession Stopped", mlInformation);
}

namespace {

struct TStop {
  const TGeneralThread& thread;
  bool operator()() const { return thread.Terminated(); }
};

}  // namespace

void TFtpSession::Body() {
  copy_ = std::make_unique<TCopy>(local_copy_);
  const std::function<bool()> stop = TStop{*this};
  CURLcode rc = CURLE_LOGIN_DENIED;
  std::string error = client_->LoginError();
  if (error.empty()) {
    rc = client_->ConnectAndCheckResume(stop);
    if (Terminated()) return;
    if (rc == CURLE_QUOTE_ERROR) return;  // no resume: nothing to follow with
    if (rc != CURLE_OK) error = client_->ErrorText(rc);
  }
  if (!error.empty()) {
    PostGlobal(std::string("TFtpSession - ") + kLoginFailed + "Last Error: " + error, mlCritical);
    return;
  }
  FirstSync();
  ready_->store(copy_->Size(), std::memory_order_release);
  while (!Terminated()) {
    Poll();
    if (errors_.load() > kMaxErrors || Terminated()) break;
    WaitFor(settings_.ftp_poll_ms);
  }
}

void TFtpSession::FirstSync() {
  const std::function<bool()> stop = TStop{*this};
  TCopy& copy = *copy_;
  int64_t size = -1;
  CURLcode rc = client_->RemoteSize(stop, size);
  if (rc == CURLE_OK && size > 0) {
    // Zeros for the old text, but the last bytes as they are: the next
    // download compares them to tell a grown log from a replaced one.
    const int64_t keep = std::min(size, kOverlapBytes);
    copy.Pad(size - keep);
    rc = client_->Download(stop, size - keep, size - 1,
                           [&copy](const char* d, size_t n) { return copy.Append(d, n); });
    if (rc != CURLE_OK || copy.Size() != size) copy.Pad(size);  // nothing to compare with then
  }
  if (rc != CURLE_OK && !Terminated())
    PostGlobal("TFtpSession - error occured on first get: " + client_->ErrorText(rc), mlInformation);
}

void TFtpSession::Poll() {
  const std::function<bool()> stop = TStop{*this};
  TCopy& copy = *copy_;
  // Fetched again from the start of the compared bytes; a log that no
  // longer holds them there (or is shorter) is another one.
  const std::string expect = copy.Tail();
  const int64_t offset = copy.Size() - static_cast<int64_t>(expect.size());
  size_t matched = 0;
  bool replaced = false;
  CURLcode rc = client_->Download(stop, offset, -1, [&](const char* d, size_t n) {
    while (matched < expect.size() && n > 0) {
      if (*d != expect[matched]) {
        replaced = true;
        return false;
      }
      ++d, --n, ++matched;
    }
    return n == 0 || copy.Append(d, n);
  });
  if (Terminated()) return;
  if (rc == CURLE_BAD_DOWNLOAD_RESUME || (rc == CURLE_OK && matched < expect.size())) replaced = true;
  if (replaced) {
    StartCopyAgain();
    return;
  }
  if (rc == CURLE_OK) {
    if (errors_.load() > 0) errors_.fetch_sub(1);  // the body alone writes it
    return;
  }
  const std::string text =
      rc == CURLE_WRITE_ERROR && !copy.Error().empty() ? copy.Error() : client_->ErrorText(rc);
  PostGlobal("TFtpSession - error occured: " + text, mlInformation);
  if (errors_.fetch_add(1) + 1 > kMaxErrors) {
    TGeneralThread::Terminate();
    PostGlobal(
        "TFtpSession - Closing FTP-Link to many Errors - Please Check youre Setup - Last Error: " + text,
        mlCritical);
  }
}

void TFtpSession::StartCopyAgain() {
  // The game server started a new log: all of it is new text.
  PostGlobal("TFtpSession - the remote log file was replaced, it is read again from its start",
             mlInformation);
  copy_->Replace();
  restarts_.fetch_add(1);
  Poll();
}

}  // namespace kv
