// Logging and the small helpers shared by every unit of the module library.
#include "tool.h"

#include <errno.h>
#include <iconv.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sys_files.h"
#include "sys_paths.h"

static_assert(sizeof(sys_log_record) == 268, "a log record is 3 words and a 256-byte text");

uint32_t gui_dbusProxyDbg = DBUS_PROXY_DBG_DEFAULT;

namespace {

// ---- names printed in the log header ---------------------------------------------

struct CodeName {
  int code;
  const char *name;
};

constexpr CodeName kModuleNames[] = {
    {1, "ETH"},   {2, "TR069"}, {3, "VOIP"},   {4, "SYS"},   {5, "DBUS"},  {6, "CLI"},
    {7, "WEB"},   {8, "PON"},   {9, "OAM"},    {10, "DHCP"}, {11, "PPPOE"}, {12, "RSTP"},
    {13, "IGMP"}, {14, "IPTV"}, {15, "WANMNG"}, {16, "UPGRADE"},
};

constexpr CodeName kLevelNames[] = {
    {LOG_LEVEL_EMERGENCY, "Emergency"}, {LOG_LEVEL_ALERT, "Alert"}, {LOG_LEVEL_CRITICAL, "Critical"},
    {LOG_LEVEL_ERROR, "Error"},         {LOG_LEVEL_WARN, "Warn"},   {LOG_LEVEL_INFO, "INFO"},
    {LOG_LEVEL_DETAIL, "Detail"},       {LOG_LEVEL_DEBUG, "Debug"},
};

template <size_t N>
const char *name_of(const CodeName (&table)[N], int code) {
  for (const CodeName &entry : table)
    if (entry.code == code) return entry.name;
  return "UNKNOWN";
}

// Categories 0 to 11 and the debug category pass; anything else is dropped.
constexpr int kLastCategory = 11;

// Only this library's own lines are output; other subsystems log elsewhere.
constexpr int kOutputModule = LOG_MODULE_DBUS;

// ---- time text --------------------------------------------------------------------

constexpr size_t kDateSize = 32;

// The time text changes once a second; each thread keeps the text of the
// last second it formatted, so concurrent lines keep their own.  Returns the
// thread's text and its length.
const char *current_date(size_t *length) {
  thread_local time_t cached_second = -1;
  thread_local char cached[kDateSize];
  thread_local size_t cached_length = 0;
  time_t now = time(nullptr);
  if (now != cached_second) {
    struct tm local;
    if (localtime_r(&now, &local) == nullptr) cached[0] = '\0';
    else cached_length = strftime(cached, sizeof cached, "%F %T", &local);
    if (cached[0] == '\0') cached_length = 0;
    cached_second = now;
  }
  *length = cached_length;
  return cached;
}

void format_date(char *buffer, size_t size) {
  size_t length = 0;
  const char *date = current_date(&length);
  length = length < size ? length : size - 1;
  memcpy(buffer, date, length);
  buffer[length] = '\0';
}

// Appends `text` at `*used` within `room` bytes (the terminator included);
// false when it does not fit whole.
bool append_text(char *buffer, size_t room, size_t *used, const char *text, size_t length) {
  if (*used + length >= room) return false;
  memcpy(buffer + *used, text, length);
  *used += length;
  buffer[*used] = '\0';
  return true;
}

// vsnprintf(out, room, format, args) for the formats nearly every log line
// uses: plain text with %s, %d, %u and %% is put together by hand, at a
// fraction of the general formatter's cost.  A format with any other
// conversion (flags, widths, other types) is formatted by vsnprintf from the
// start.  Either way the result is the same, cut at room - 1 characters.
void format_message(char *out, size_t room, const char *format, va_list args) {
  if (room == 0) return;
  va_list again;
  va_copy(again, args);
  size_t used = 0;
  const size_t limit = room - 1;
  auto put = [&](const char *text, size_t length) {
    const size_t n = std::min(length, limit - used);
    memcpy(out + used, text, n);
    used += n;
  };
  bool general = false;
  for (const char *p = format; !general && *p != '\0' && used < limit; ++p) {
    if (*p != '%') {
      const char *next = strchr(p, '%');
      const size_t length = next != nullptr ? size_t(next - p) : strlen(p);
      put(p, length);
      p += length - 1;
      continue;
    }
    char digits[16];
    switch (*++p) {
      case 's': {
        const char *text = va_arg(args, const char *);
        if (text == nullptr) text = "(null)";
        put(text, strlen(text));
        break;
      }
      case 'd': {
        auto end = std::to_chars(digits, digits + sizeof digits, va_arg(args, int)).ptr;
        put(digits, size_t(end - digits));
        break;
      }
      case 'u': {
        auto end = std::to_chars(digits, digits + sizeof digits, va_arg(args, unsigned)).ptr;
        put(digits, size_t(end - digits));
        break;
      }
      case '%':
        put("%", 1);
        break;
      default:
        general = true;
        break;
    }
  }
  if (general) {
    vsnprintf(out, room, format, again);
  } else {
    out[used] = '\0';
  }
  va_end(again);
}

// ---- routing mask ---------------------------------------------------------------------

// Levels 4 to 7 are gated by one 4-bit group per destination: level 7 uses the
// lowest group of each half, level 4 the highest.
constexpr uint32_t kGroupMask = 0xFu;
constexpr int kStdoutHalfShift = 16;

bool gated_level(int level) { return level >= LOG_LEVEL_WARN && level <= LOG_LEVEL_DEBUG; }

bool group_set(uint32_t mask, int level, int half_shift) {
  int shift = half_shift + 4 * (LOG_LEVEL_DEBUG - level);
  return ((mask >> shift) & kGroupMask) != 0;
}

// The debug-level handler replaces the mask from another thread; read it as one word.
uint32_t current_mask() {
  return std::atomic_ref<uint32_t>(gui_dbusProxyDbg).load(std::memory_order_relaxed);
}

// ---- log file ----------------------------------------------------------------------

// Lines waiting for the writer; a caller that finds this many waits for room
// rather than losing a line.
constexpr size_t kQueueLimit = 16384;
// The writer takes lines in batches: it waits up to kGatherTime after the
// first line of a burst, or until kBatchLines are queued.  Each wake-up of
// the writer competes with the bus daemon, the client and the loop for the
// processors: gathering for 2 ms cost a steady stream of writes about 6 %
// of its latency on two processors, gathering for 50 ms about 1 %, and a
// line still reaches the file well within what anyone reading it notices.
// flush() writes at once.
constexpr size_t kBatchLines = 256;
constexpr auto kGatherTime = std::chrono::milliseconds(50);

void report_errno(int error) { fprintf(stderr, "errno: %d | %s\n", error, strerror(error)); }

// Lines as one run of bytes and the length of each: queuing a line copies
// it once and allocates nothing once the buffers have grown.
struct LineBatch {
  std::string bytes;
  std::vector<uint32_t> lengths;
  size_t size() const { return lengths.size(); }
  bool empty() const { return lengths.empty(); }
  void append(std::string_view text, std::string_view ending) {
    bytes.append(text).append(ending);
    lengths.push_back(uint32_t(text.size() + ending.size()));
  }
  void clear() {
    bytes.clear();
    lengths.clear();
  }
  void swap(LineBatch &other) {
    bytes.swap(other.bytes);
    lengths.swap(other.lengths);
  }
};

// A batch whose buffer grew past this in a burst is given back after it is
// written, so that one burst does not keep megabytes for the process's life.
constexpr size_t kKeptBatchBytes = 64 * 1024;

// The log file, written by a thread of its own so that no caller waits for
// the disk: callers queue whole lines, the writer takes them in batches.
// Once stopped (the process is ending) lines are written by their callers.
class LogWriter {
 public:
  // Queues `text` followed by `ending` as one line.
  void write(std::string_view text, std::string_view ending) {
    std::unique_lock lock(queue_mutex_);
    if (stopped_) {
      lock.unlock();
      std::lock_guard file_lock(file_mutex_);
      std::string line;
      line.append(text).append(ending);
      const uint32_t length = uint32_t(line.size());
      write_lines(line, std::span(&length, 1));
      return;
    }
    room_.wait(lock, [this] { return queue_.size() < kQueueLimit || stopped_; });
    queue_.append(text, ending);
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    // The writer needs waking for the first line of a burst and when a
    // batch is full; in between it is gathering anyway.
    if (queue_.size() == 1 || queue_.size() == kBatchLines) work_.notify_one();
  }

  // Returns once every line queued before the call is in the file.
  void flush() {
    std::unique_lock lock(queue_mutex_);
    ++flushing_;
    work_.notify_one();
    idle_.wait(lock, [this] { return (queue_.empty() && !writing_) || !thread_.joinable(); });
    --flushing_;
  }

  // The next line opens the log file afresh (under the current root),
  // keeping what is there as the previous log.
  void reopen() {
    flush();
    std::lock_guard file_lock(file_mutex_);
    close_file();
    open_failure_reported_ = false;
  }

  // Writes what is queued and ends the writer; later lines are written by
  // their callers.
  void stop() {
    std::unique_lock lock(queue_mutex_);
    stopping_ = true;
    work_.notify_one();
    std::thread writer = std::move(thread_);
    lock.unlock();
    if (writer.joinable()) writer.join();
    lock.lock();
    stopped_ = true;
    room_.notify_all();
    idle_.notify_all();
  }

 private:
  void run() {
    LineBatch batch;
    std::unique_lock lock(queue_mutex_);
    for (;;) {
      work_.wait(lock, [this] { return !queue_.empty() || stopping_; });
      if (queue_.empty()) return;
      // A bus call logs a few lines at once: gathering them for a moment
      // wakes this thread once per burst rather than once per line.
      work_.wait_for(lock, kGatherTime, [this] {
        return stopping_ || flushing_ > 0 || queue_.size() >= kBatchLines;
      });
      batch.swap(queue_);
      writing_ = true;
      room_.notify_all();
      lock.unlock();
      {
        std::lock_guard file_lock(file_mutex_);
        write_lines(batch.bytes, batch.lengths);
      }
      if (batch.bytes.capacity() > kKeptBatchBytes)
        batch = LineBatch();
      else
        batch.clear();
      lock.lock();
      writing_ = false;
      if (queue_.empty()) idle_.notify_all();
    }
  }

  // Called with the file lock held.  The first open of a run keeps the
  // previous run's log beside the new one.  A file that cannot be opened is
  // reported once, not once per line; the next batch tries again.
  bool open_file() {
    if (fd_ >= 0) return true;
    std::string error;
    fd_ = igd1::open_private_file(igd1::path::kSyslog, igd1::path::kSyslogPrevious, &error);
    if (fd_ >= 0) {
      open_failure_reported_ = false;
      return true;
    }
    if (!open_failure_reported_) fprintf(stderr, "Can't open the log file: %s\n", error.c_str());
    open_failure_reported_ = true;
    return false;
  }

  void close_file() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  // Called with the file lock held.  The size is what the file holds on
  // disk, whoever wrote it: a line that finds it past the cap empties it
  // first.  Lines between two such points go out in one write.
  void write_lines(std::string_view bytes, std::span<const uint32_t> lengths) {
    if (!open_file()) return;
    struct stat status;
    off_t size = fstat(fd_, &status) == 0 ? status.st_size : 0;
    size_t start = 0, end = 0;
    for (uint32_t length : lengths) {
      if (size > SYS_LOG_FILE_CAP) {
        write_all(bytes.substr(start, end - start));
        if (ftruncate(fd_, 0) != 0) report_errno(errno);
        start = end;
        size = 0;
      }
      end += length;
      size += off_t(length);
    }
    write_all(bytes.substr(start, end - start));
  }

  void write_all(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t written = ::write(fd_, bytes.data(), bytes.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;
      bytes.remove_prefix(size_t(written));
    }
  }

  std::mutex queue_mutex_;
  std::condition_variable work_, room_, idle_;
  LineBatch queue_;
  int flushing_ = 0;  // callers waiting in flush()
  bool writing_ = false;
  bool stopping_ = false;
  bool stopped_ = false;
  std::thread thread_;

  // Serialises every access to the log file.
  std::mutex file_mutex_;
  int fd_ = -1;
  bool open_failure_reported_ = false;
};

// Never destroyed: threads that outlive the end of main may still log.
LogWriter &log_writer() {
  static auto *writer = new LogWriter;
  return *writer;
}

// At the end of the process (or when the library is unloaded) what is
// queued is written before anything goes.
struct StopWriterAtExit {
  ~StopWriterAtExit() { log_writer().stop(); }
} const stop_writer_at_exit;

void log_file_write(const sys_log_record *record) {
  // Foreign texts without a module tag are written as they come.
  const bool tagged = strstr(record->text, "DBUS") != nullptr || strstr(record->text, "MNGAPI") != nullptr;
  const size_t length = strnlen(record->text, sizeof record->text);
  log_writer().write(std::string_view(record->text, length), tagged ? "\r\n" : "");
}

}  // namespace

// ---- logging ---------------------------------------------------------------------------

namespace {
std::atomic<bool> g_log_muted{false};
}  // namespace

void sys_log_mute(int muted) { g_log_muted.store(muted != 0, std::memory_order_relaxed); }

int sys_log(int module, int level, int category, const char * /*file*/, int /*line*/,
            const char * /*function*/, const char *format, ...) {
  if (format == nullptr || g_log_muted.load(std::memory_order_relaxed)) return 0;
  if (category != LOG_CATEGORY_DEBUG && (category < 0 || category > kLastCategory)) return 0;
  if (module != kOutputModule) return 0;

  bool to_stdout = true;
  bool to_file = true;
  if (gated_level(level)) {
    uint32_t mask = current_mask();
    to_stdout = group_set(mask, level, kStdoutHalfShift);
    to_file = group_set(mask, level, 0);
  }
  // Under the service manager warnings and errors also reach the journal,
  // whatever the mask, with their level as the priority.
  const bool to_journal = level <= LOG_LEVEL_WARN && igd1::is_journal_stream(STDERR_FILENO);
  // Lines the mask turns away cost no formatting.
  if (!to_stdout && !to_file && !to_journal) return 0;

  sys_log_record record;
  memset(&record, 0, sizeof record);
  record.module = module;
  record.level = level;
  record.category = category;

  // The header "<date> [<module>][<level>]: " is put together by hand: it
  // is on every line, and a general format would cost more than the message.
  size_t date_length = 0;
  const char *date = current_date(&date_length);
  const char *module_name = name_of(kModuleNames, module);
  const char *level_name = name_of(kLevelNames, level);
  size_t header = 0;
  const bool whole = append_text(record.text, sizeof record.text, &header, date, date_length) &&
                     append_text(record.text, sizeof record.text, &header, " [", 2) &&
                     append_text(record.text, sizeof record.text, &header, module_name, strlen(module_name)) &&
                     append_text(record.text, sizeof record.text, &header, "][", 2) &&
                     append_text(record.text, sizeof record.text, &header, level_name, strlen(level_name)) &&
                     append_text(record.text, sizeof record.text, &header, "]: ", 3);
  // The message gets what is left of 255 bytes, so a line is at most 254 characters.
  constexpr size_t kLineRoom = sizeof record.text - 1;
  if (whole && header < kLineRoom) {
    va_list args;
    va_start(args, format);
    format_message(record.text + header, kLineRoom - header, format, args);
    va_end(args);
  }

  if (to_stdout) {
    printf("%s \r\n", record.text);
    // Output may be a file or a pipe; do not hold lines back until exit.
    fflush(stdout);
  }
  if (to_file) log_file_write(&record);
  // The journal stamps the time itself; "<N>" is read as the priority.
  if (to_journal) fprintf(stderr, "<%d>%s\n", level, record.text + (date_length > 0 ? date_length + 1 : 0));
  return 0;
}

void sys_log_reopen(void) { log_writer().reopen(); }

void sys_log_flush(void) { log_writer().flush(); }

char *get_date(void) {
  thread_local char date[kDateSize];
  format_date(date, sizeof date);
  return date;
}

// ---- TR-069 fault texts --------------------------------------------------------

char *geterrdesc(int code, char *buffer) {
  static constexpr CodeName kFaultTexts[] = {
      {9000, "Method not supported"},
      {9001, "Request denied"},
      {9002, "Internal error"},
      {9003, "Invalid arguments"},
      {9004, "Resources exceeded"},
      {9005, "Invalid parameter name"},
      {9006, "Invalid parameter type"},
      {9007, "Invalid parameter value"},
      {9008, "Attempt to set a non-writable parameter"},
      {9009, "Notification request rejected"},
      {9010, "Download failure"},
      {9011, "Upload failure"},
      {9012, "File transfer server authentication failure"},
      {9013, "Unsupported protocol for file transfer"},
  };
  if (buffer == nullptr) return nullptr;
  const char *text = "none!";
  for (const CodeName &entry : kFaultTexts)
    if (entry.code == code) text = entry.name;
  strcpy(buffer, text);
  return buffer;
}

// ---- times of day -----------------------------------------------------------------

bool parse_clock_time(const char *text, int max_hour, int *hour, int *minute) {
  if (text == nullptr || strnlen(text, 6) > 5) return false;
  const char *colon = strchr(text, ':');
  if (colon == nullptr) return false;
  // One or two digits between `from` and `to`, at most `most`.
  const auto field = [](const char *from, const char *to, int most, int *out) {
    if (to - from < 1 || to - from > 2) return false;
    int value = 0;
    for (const char *c = from; c < to; ++c) {
      if (*c < '0' || *c > '9') return false;
      value = value * 10 + (*c - '0');
    }
    if (value > most) return false;
    *out = value;
    return true;
  };
  int h = 0, m = 0;
  if (!field(text, colon, max_hour, &h) || !field(colon + 1, colon + strlen(colon), 59, &m))
    return false;
  if (hour != nullptr) *hour = h;
  if (minute != nullptr) *minute = m;
  return true;
}

// ---- instance numbers in object paths ---------------------------------------------

int is_DigitalString(const char *text) {
  if (text == nullptr) return -1;
  for (const char *c = text; *c != '\0'; ++c)
    if (*c < '0' || *c > '9') return -1;
  return 1;
}

uint32_t get_index_from_str(const char *object_path) {
  // 255 is what callers take as "no such instance"; a missing path is one.
  constexpr uint32_t kNoInstance = 255;
  if (object_path == nullptr) return kNoInstance;
  DBUS_LOG(LOG_LEVEL_DEBUG, "-------------------- End Function %s path is %s --------------------",
           __func__, object_path);

  char work[128];
  if (strlen(object_path) + 1 > sizeof work) {
    DBUS_LOG(LOG_LEVEL_WARN, "object path too lang :%s", object_path);
    return kNoInstance;
  }
  strcpy(work, object_path);

  // Numeric segments fill the key a byte at a time from the low end; a fifth
  // one wraps round to the low byte again.
  uint32_t result = 0;
  unsigned numbers = 0;
  char *save = nullptr;
  for (char *segment = strtok_r(work, "/", &save); segment != nullptr;
       segment = strtok_r(nullptr, "/", &save)) {
    if (is_DigitalString(segment) != 1) continue;
    uint32_t number = static_cast<uint32_t>(strtoul(segment, nullptr, 10));
    result |= number << ((8 * numbers) % 32);
    ++numbers;
  }

  DBUS_LOG(LOG_LEVEL_DEBUG, "going to [%s] line [%d] mask 0x%08x", __func__, __LINE__, result);
  return result;
}

uint32_t getInstNum(const char *path, const char *key) {
  // Keys are object names such as "WANPPPConnection"; a key longer than 64
  // characters names no object and gives 0 instead of overrunning the pattern.
  constexpr size_t kMaxKey = 64;
  if (path == nullptr || key == nullptr) return 0;
  size_t key_length = strlen(key);
  if (key_length > kMaxKey) return 0;

  char segment[kMaxKey + 3];
  snprintf(segment, sizeof segment, "/%s/", key);
  const char *found = strstr(path, segment);
  if (found == nullptr) return 0;

  unsigned int number = 0;
  if (sscanf(found + key_length + 2, "%u.%*s", &number) < 1) return 0;
  return number;
}

// ---- character sets of file names -------------------------------------------------

int code_convert(const char *to_charset, const char *from_charset, char *inbuf, int *inlen,
                 char *outbuf, int *outlen) {
  if (inbuf == nullptr || inlen == nullptr || outbuf == nullptr || outlen == nullptr ||
      *inlen < 0 || *outlen < 0)
    return -1;
  iconv_t cd = iconv_open(to_charset, from_charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    int error = errno;
    printf("iconv open fail, error %d:%s\n", error, strerror(error));
    return -1;
  }
  char *in = inbuf;
  char *out = outbuf;
  size_t in_left = static_cast<size_t>(*inlen);
  size_t out_left = static_cast<size_t>(*outlen);
  if (iconv(cd, &in, &in_left, &out, &out_left) == static_cast<size_t>(-1)) {
    printf("iconv fail");
    iconv_close(cd);
    return -1;
  }
  iconv_close(cd);
  return 0;
}

int u2g(char *inbuf, int *inlen, char *outbuf, int *outlen) {
  return code_convert("GBK", "UTF-8", inbuf, inlen, outbuf, outlen);
}

int g2u(char *inbuf, int *inlen, char *outbuf, int *outlen) {
  return code_convert("UTF-8", "GBK", inbuf, inlen, outbuf, outlen);
}
