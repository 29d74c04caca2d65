#include "speed_measure.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

namespace igd1::mib::speed {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long kConnectTimeoutMs = kStallLimit.count();
constexpr int kPollMs = 50;

// libcurl and the many libraries it brings are loaded with the first test,
// not with every process that uses the store: start-up time and memory stay
// as they were for a gateway that never measures.
struct Curl {
  CURLcode (*global_init)(long);
  CURL *(*easy_init)();
  CURLcode (*easy_setopt)(CURL *, CURLoption, ...);
  CURLcode (*easy_perform)(CURL *);
  CURLcode (*easy_getinfo)(CURL *, CURLINFO, ...);
  void (*easy_cleanup)(CURL *);
  const char *(*easy_strerror)(CURLcode);
  curl_slist *(*slist_append)(curl_slist *, const char *);
  void (*slist_free_all)(curl_slist *);
  CURLM *(*multi_init)();
  CURLMcode (*multi_add_handle)(CURLM *, CURL *);
  CURLMcode (*multi_remove_handle)(CURLM *, CURL *);
  CURLMcode (*multi_perform)(CURLM *, int *);
  CURLMsg *(*multi_info_read)(CURLM *, int *);
  CURLMcode (*multi_poll)(CURLM *, curl_waitfd[], unsigned, int, int *);
  CURLMcode (*multi_cleanup)(CURLM *);
};

template <typename F>
bool bind(void *library, const char *name, F *function) {
  *function = reinterpret_cast<F>(dlsym(library, name));
  return *function != nullptr;
}

// The loaded library, or nullptr when it cannot be loaded.
const Curl *curl() {
  static const Curl *loaded = [] () -> const Curl * {
    void *library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    static Curl c;
    const bool complete =
        bind(library, "curl_global_init", &c.global_init) &&
        bind(library, "curl_easy_init", &c.easy_init) &&
        bind(library, "curl_easy_setopt", &c.easy_setopt) &&
        bind(library, "curl_easy_perform", &c.easy_perform) &&
        bind(library, "curl_easy_getinfo", &c.easy_getinfo) &&
        bind(library, "curl_easy_cleanup", &c.easy_cleanup) &&
        bind(library, "curl_easy_strerror", &c.easy_strerror) &&
        bind(library, "curl_slist_append", &c.slist_append) &&
        bind(library, "curl_slist_free_all", &c.slist_free_all) &&
        bind(library, "curl_multi_init", &c.multi_init) &&
        bind(library, "curl_multi_add_handle", &c.multi_add_handle) &&
        bind(library, "curl_multi_remove_handle", &c.multi_remove_handle) &&
        bind(library, "curl_multi_perform", &c.multi_perform) &&
        bind(library, "curl_multi_info_read", &c.multi_info_read) &&
        bind(library, "curl_multi_poll", &c.multi_poll) &&
        bind(library, "curl_multi_cleanup", &c.multi_cleanup);
    if (!complete || c.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return nullptr;
    return &c;
  }();
  return loaded;
}

constexpr char kNoLibrary[] = "the HTTP library cannot be loaded";

struct EasyDeleter {
  void operator()(CURL *easy) const { curl()->easy_cleanup(easy); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
struct ListDeleter {
  void operator()(curl_slist *list) const { curl()->slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

// What every request shares: only http and https, bounded connect time, no
// signals (the transfers run on worker threads).
void common_options(CURL *easy, const std::string &url, curl_slist *headers) {
  const auto set = curl()->easy_setopt;
  set(easy, CURLOPT_URL, url.c_str());
  set(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  set(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set(easy, CURLOPT_FOLLOWLOCATION, 1L);
  set(easy, CURLOPT_MAXREDIRS, 3L);
  set(easy, CURLOPT_NOSIGNAL, 1L);
  set(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  set(easy, CURLOPT_FAILONERROR, 1L);
  set(easy, CURLOPT_HTTPHEADER, headers);
}

HeaderList request_headers(const std::string &header) {
  // No "Expect: 100-continue" pause before an upload's body.
  curl_slist *list = curl()->slist_append(nullptr, "Expect:");
  if (!header.empty() && list != nullptr) {
    curl_slist *longer = curl()->slist_append(list, header.c_str());
    if (longer != nullptr) list = longer;
  }
  return HeaderList(list);
}

// `result` with `error` as the reason it failed.
template <typename Result>
Result failed(Result result, std::string error) {
  result.error = std::move(error);
  return result;
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// The state of one transfer over all its streams; curl calls back into it
// on the transferring thread only.
struct Counter {
  uint64_t bytes = 0;
  bool started = false;
  Clock::time_point first;
  Clock::time_point last;
  uint64_t upload_left = 0;  // per stream, in the stream's own Counter
  size_t chunk = 0;
  Counter *total = nullptr;  // the transfer's, for a stream's counter

  void count(uint64_t n) {
    Counter &sum = total != nullptr ? *total : *this;
    const Clock::time_point now = Clock::now();
    if (!sum.started) {
      sum.started = true;
      sum.first = now;
    }
    sum.bytes += n;
    sum.last = now;
  }
};

size_t on_data(char *, size_t size, size_t count, void *user) {
  static_cast<Counter *>(user)->count(uint64_t(size) * count);
  return size * count;
}

// Generated upload bytes, at most one chunk per call.
size_t on_read(char *buffer, size_t size, size_t count, void *user) {
  auto *stream = static_cast<Counter *>(user);
  size_t n = std::min<uint64_t>({uint64_t(size) * count, stream->chunk, stream->upload_left});
  std::memset(buffer, 'u', n);
  stream->upload_left -= n;
  stream->count(n);
  return n;
}

}  // namespace

bool acceptable_url(const char *url, size_t max_length) {
  if (url == nullptr) return false;
  const size_t length = strnlen(url, max_length + 1);
  if (length > max_length) return false;
  if (std::strncmp(url, "http://", 7) != 0 && std::strncmp(url, "https://", 8) != 0) return false;
  const size_t scheme = url[4] == 's' ? 8 : 7;
  if (length == scheme) return false;
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(url[i]);
    if (c <= ' ' || c == 0x7f) return false;
  }
  return true;
}

Measured run_transfer(const Transfer &transfer) {
  Measured measured;
  const Curl *c = curl();
  if (c == nullptr) return failed(measured, kNoLibrary);
  const int streams = std::clamp(transfer.streams, 1, 16);
  HeaderList headers = request_headers(transfer.header);
  CURLM *multi = c->multi_init();
  if (multi == nullptr || headers == nullptr) {
    if (multi != nullptr) c->multi_cleanup(multi);
    return failed(measured, "cannot prepare the transfer");
  }

  Counter total;
  std::vector<Counter> per_stream(static_cast<size_t>(streams));
  std::vector<Easy> easies;
  for (Counter &stream : per_stream) {
    Easy easy(c->easy_init());
    if (!easy) break;
    stream.total = &total;
    common_options(easy.get(), transfer.url, headers.get());
    if (transfer.upload) {
      stream.upload_left = transfer.upload_bytes;
      stream.chunk = std::max<size_t>(transfer.chunk, 1);
      c->easy_setopt(easy.get(), CURLOPT_POST, 1L);
      c->easy_setopt(easy.get(), CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(transfer.upload_bytes));
      c->easy_setopt(easy.get(), CURLOPT_READFUNCTION, on_read);
      c->easy_setopt(easy.get(), CURLOPT_READDATA, &stream);
      // The answer to an upload is not measured.
      c->easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, +[](char *, size_t s, size_t n, void *) {
        return s * n;
      });
    } else {
      c->easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, on_data);
      c->easy_setopt(easy.get(), CURLOPT_WRITEDATA, &stream);
    }
    c->multi_add_handle(multi, easy.get());
    easies.push_back(std::move(easy));
  }
  if (easies.size() != per_stream.size()) measured.error = "cannot prepare the transfer";

  const Clock::time_point begin = Clock::now();
  Clock::time_point window_start = begin;
  uint64_t window_bytes = 0;
  uint64_t moved_at_check = 0;
  Clock::time_point last_movement = begin;
  bool time_up = false;
  int running = measured.error.empty() ? 1 : 0;
  while (running > 0) {
    if (c->multi_perform(multi, &running) != CURLM_OK) {
      measured.error = "transfer failed";
      break;
    }
    while (true) {
      int queued = 0;
      CURLMsg *message = c->multi_info_read(multi, &queued);
      if (message == nullptr) break;
      if (message->msg == CURLMSG_DONE && message->data.result != CURLE_OK &&
          measured.error.empty())
        measured.error = c->easy_strerror(message->data.result);
    }
    if (!measured.error.empty()) break;
    const Clock::time_point now = Clock::now();
    if (total.bytes != moved_at_check) {
      moved_at_check = total.bytes;
      last_movement = now;
    }
    if (now - window_start >= kWindow) {
      const double rate = double(total.bytes - window_bytes) * 8 / seconds_between(window_start, now);
      // Only windows that lie wholly inside the data flow are kept.
      if (total.started && total.first <= window_start && window_bytes > 0)
        measured.window_rates.push_back(rate);
      if (transfer.progress) transfer.progress(rate, total.bytes);
      window_start = now;
      window_bytes = total.bytes;
    }
    if (running == 0) break;
    if (transfer.stop != nullptr && transfer.stop->load()) {
      measured.error = "stopped";
      break;
    }
    if (now - last_movement >= kStallLimit) {
      measured.error = total.started ? "the server stopped sending" : "the server does not answer";
      break;
    }
    if (now - begin >= transfer.limit) {
      time_up = true;
      break;
    }
    c->multi_poll(multi, nullptr, 0, kPollMs, nullptr);
  }
  const Clock::time_point end = Clock::now();

  for (Easy &easy : easies) c->multi_remove_handle(multi, easy.get());
  easies.clear();
  c->multi_cleanup(multi);

  measured.bytes = total.bytes;
  if (!measured.error.empty()) return measured;
  if (!total.started) return failed(measured, "no data was transferred");
  // An upload is done when the server has taken the last byte and answered;
  // a download when the last byte arrived.
  const Clock::time_point last = transfer.upload || time_up ? end : total.last;
  measured.seconds = seconds_between(total.first, last);
  if (measured.seconds <= 0) measured.seconds = 1e-6;
  measured.rate = double(total.bytes) * 8 / measured.seconds;
  if (measured.window_rates.empty()) {
    measured.max_rate = measured.min_rate = measured.rate;
  } else {
    const auto [low, high] =
        std::minmax_element(measured.window_rates.begin(), measured.window_rates.end());
    measured.min_rate = *low;
    measured.max_rate = *high;
  }
  measured.ok = true;
  return measured;
}

Delays probe_delays(const std::string &url, const std::string &header, int count,
                    const std::atomic<bool> *stop) {
  Delays delays;
  const Curl *c = curl();
  if (c == nullptr) return failed(delays, kNoLibrary);
  HeaderList headers = request_headers(header);
  Easy easy(c->easy_init());
  if (!easy || headers == nullptr || count < 1) return failed(delays, "cannot prepare the delay probes");
  common_options(easy.get(), url, headers.get());
  c->easy_setopt(easy.get(), CURLOPT_NOBODY, 1L);
  c->easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, long(kStallLimit.count()));
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    if (stop != nullptr && stop->load()) return failed(delays, "stopped");
    const CURLcode code = c->easy_perform(easy.get());
    if (code != CURLE_OK) return failed(delays, c->easy_strerror(code));
    curl_off_t sent = 0, answered = 0;
    c->easy_getinfo(easy.get(), CURLINFO_PRETRANSFER_TIME_T, &sent);
    c->easy_getinfo(easy.get(), CURLINFO_STARTTRANSFER_TIME_T, &answered);
    samples.push_back(double(std::max<curl_off_t>(answered - sent, 0)) / 1000.0);
  }
  double sum = 0, jitter = 0;
  delays.min_ms = delays.max_ms = samples.front();
  for (size_t i = 0; i < samples.size(); ++i) {
    sum += samples[i];
    delays.min_ms = std::min(delays.min_ms, samples[i]);
    delays.max_ms = std::max(delays.max_ms, samples[i]);
    if (i > 0) jitter += std::abs(samples[i] - samples[i - 1]);
  }
  delays.avg_ms = sum / double(samples.size());
  delays.jitter_ms = samples.size() > 1 ? jitter / double(samples.size() - 1) : 0;
  delays.ok = true;
  return delays;
}

}  // namespace igd1::mib::speed
