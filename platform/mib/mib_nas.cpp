// NAS file access on the mounted storage: every path a client names is
// relative to the storage root /mnt/ (its first segment is a device's
// mount point) and is resolved beneath it by the kernel (openat2 with
// RESOLVE_BENEATH): "..", absolute paths and symbolic links that lead out
// are refused, and no reply names anything outside the root.
//
// Names are UTF-8 on the bus and GBK on the storage, as the disks of the
// gateway's users are written; a name GBK cannot hold is refused, and a
// stored name that is not GBK is left out of a listing.
//
// Replies begin with a result (0 done, 1 refused or failed) and a text.
// Copies run on threads of their own and report their progress by number.
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mib_actions.h"
#include "mib_usb.h"
#include "sys_paths.h"

namespace {

using igd1::mib::Action;

constexpr char kStorageRoot[] = "/mnt";
constexpr size_t kPathMax = 1024;
constexpr size_t kCopyChunk = size_t(8) << 20;
constexpr uint32_t kDone = 0, kRefused = 1;

// ---- names ----

// One conversion direction, used by one action at a time.
class Converter {
 public:
  Converter(const char *to, const char *from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != iconv_t(-1)) iconv_close(cd_);
  }
  Converter(const Converter &) = delete;
  Converter &operator=(const Converter &) = delete;

  // False when the text does not convert completely.
  bool convert(std::string_view in, std::string *out) {
    if (cd_ == iconv_t(-1)) return false;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    out->assign(in.size() * 2 + 4, '\0');
    char *source = const_cast<char *>(in.data());
    size_t source_left = in.size();
    char *target = out->data();
    size_t target_left = out->size();
    if (iconv(cd_, &source, &source_left, &target, &target_left) == size_t(-1) ||
        iconv(cd_, nullptr, nullptr, &target, &target_left) == size_t(-1))
      return false;
    out->resize(out->size() - target_left);
    return true;
  }

 private:
  iconv_t cd_;
};

// Sets why a step failed; false.
bool fail(std::string *why, std::string reason) {
  *why = std::move(reason);
  return false;
}

bool is_dot_or_dots(const char *name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

// A client's path in the storage's form: UTF-8 segments without "." or
// "..", not absolute, converted to GBK.  "" names the root.
bool storage_path(const char *client, std::string *path, std::string *why) {
  const size_t length = std::strlen(client);
  if (length >= kPathMax || !g_utf8_validate(client, gssize(length), nullptr)) return fail(why, "Invalid path");
  if (client[0] == '/') return fail(why, "Path outside the storage");
  g_auto(GStrv) segments = g_strsplit(client, "/", -1);
  for (gchar **s = segments; *s != nullptr; ++s) {
    if (is_dot_or_dots(*s) || (**s == '\0' && (s != segments || s[1] != nullptr)))
      return fail(why, std::strcmp(*s, "..") == 0 ? "Path outside the storage" : "Invalid path");
  }
  Converter to_gbk("GBK", "UTF-8");
  return to_gbk.convert(client, path) || fail(why, "Name not valid in GBK");
}

bool ascii(const char *text) {
  for (const char *c = text; *c != '\0'; ++c)
    if (static_cast<unsigned char>(*c) >= 0x80) return false;
  return true;
}

// A name for a client: converted from GBK (ASCII is the same in both), or false.
bool client_name(Converter *from_gbk, const char *stored, std::string *name) {
  if (ascii(stored)) {
    name->assign(stored);
    return true;
  }
  return from_gbk->convert(stored, name) && g_utf8_validate(name->c_str(), -1, nullptr);
}

// ---- resolving beneath the root ----

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(Fd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd &operator=(Fd &&other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

Fd open_root() {
  return Fd(open(igd1::sys_path(kStorageRoot).c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC));
}

// `path` ("" for `dir` itself) opened beneath `dir` with `flags`.
Fd open_beneath(int dir, const std::string &path, uint64_t flags, mode_t mode = 0) {
  open_how how{};
  how.flags = flags | O_CLOEXEC;
  how.mode = mode;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return Fd(int(syscall(SYS_openat2, dir, path.empty() ? "." : path.c_str(), &how, sizeof how)));
}

// Why a call failed, without naming a path.
std::string reason(int error) {
  if (error == EXDEV || error == ELOOP) return "Path outside the storage";
  return g_strerror(error);
}

// Calls `visit` with the name of every entry of the open folder `dir` but
// "." and "..", until it answers false; false when the folder cannot be read.
// The walk reads through a copy of the descriptor, which shares its position
// with `dir`: it starts from the first entry whatever an earlier walk left.
template <typename Visit>
bool each_entry(int dir, Visit visit) {
  const int copy = fcntl(dir, F_DUPFD_CLOEXEC, 0);
  DIR *entries = copy >= 0 ? fdopendir(copy) : nullptr;
  if (entries == nullptr) {
    if (copy >= 0) close(copy);
    return false;
  }
  rewinddir(entries);
  while (const dirent *entry = readdir(entries))
    if (!is_dot_or_dots(entry->d_name) && !visit(entry->d_name)) break;
  closedir(entries);
  return true;
}

// The folder holding the last segment of `path` (a storage path with at
// least one segment), and that segment.
bool open_parent(int root, const std::string &path, Fd *parent, std::string *name, std::string *why) {
  const size_t slash = path.rfind('/');
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name->empty()) return fail(why, "Invalid path");
  *parent = open_beneath(root, slash == std::string::npos ? "" : path.substr(0, slash),
                         O_DIRECTORY | O_RDONLY);
  if (!parent->ok()) *why = reason(errno);
  return parent->ok();
}

GVariant *refused(const std::string &why) { return g_variant_new("(us)", kRefused, why.c_str()); }

// The folder a client names as the first value of an action's parameter,
// opened beneath the root; an invalid fd with `why` set otherwise.
Fd open_folder(GVariant *parameter, std::string *why) {
  const gchar *client = nullptr;
  g_variant_get_child(parameter, 0, "&s", &client);
  std::string path;
  Fd root = open_root();
  if (!storage_path(client, &path, why)) return Fd();
  if (!root.ok()) {
    *why = "No storage";
    return Fd();
  }
  Fd dir = open_beneath(root.get(), path, O_DIRECTORY | O_RDONLY);
  if (!dir.ok()) *why = reason(errno);
  return dir;
}

// ---- listing ----

GVariant *get_file_num(GVariant *parameter, GError **) {
  std::string why;
  Fd dir = open_folder(parameter, &why);
  if (!dir.ok()) return g_variant_new("(usu)", kRefused, why.c_str(), 0u);
  uint32_t count = 0;
  each_entry(dir.get(), [&count](const char *) {
    ++count;
    return true;
  });
  return g_variant_new("(usu)", kDone, "", count);
}

// A listing written straight into the serialized form of a(sbtx), so that
// a folder of 10,000 entries costs one growing buffer instead of 50,000
// small values (and as many to free once the reply is sent).  The layout is
// GVariant's: every entry starts 8-aligned; an entry is its name and NUL,
// the folder byte, the size and time 8-aligned, and the name's end as a
// framing offset; the array ends with each entry's end.  Framing offsets
// are little-endian and as wide as the container's whole size needs.
class ListingWriter {
 public:
  void add(std::string_view name, bool folder, uint64_t size, int64_t mtime) {
    const size_t start = pad_to_8(0);
    bytes_.append(name);
    bytes_.push_back('\0');
    const size_t name_end = bytes_.size() - start;
    bytes_.push_back(folder ? 1 : 0);
    pad_to_8(start);
    append_native(size);
    append_native(mtime);
    append_offset(name_end, offset_width(bytes_.size() - start, 1));
    ends_.push_back(bytes_.size());
  }

  // The array (floating); the writer is empty afterwards.
  GVariant *finish() {
    const size_t width = offset_width(bytes_.size(), ends_.size());
    for (size_t end : ends_) append_offset(end, width);
    auto *owned = new std::string(std::move(bytes_));
    ends_.clear();
    GBytes *data = g_bytes_new_with_free_func(owned->data(), owned->size(),
                                              [](gpointer text) { delete static_cast<std::string *>(text); },
                                              owned);
    // Marked trusted, since GLib's checks of untrusted framing as the bus
    // serializes the reply cost more than building the values one by one:
    // the names are NUL-free UTF-8 (readdir's, converted and validated) and
    // the layout is the normal form (the NAS tests check it).
    GVariant *array = g_variant_new_from_bytes(G_VARIANT_TYPE("a(sbtx)"), data, TRUE);
    g_bytes_unref(data);
    return array;
  }

 private:
  // Pads with zeros to a multiple of 8 counted from `from`; the new size.
  size_t pad_to_8(size_t from) {
    const size_t used = bytes_.size() - from;
    bytes_.append((8 - used % 8) % 8, '\0');
    return bytes_.size();
  }
  template <typename T>
  void append_native(T value) {
    bytes_.append(reinterpret_cast<const char *>(&value), sizeof value);
  }
  void append_offset(size_t offset, size_t width) {
    for (size_t byte = 0; byte < width; ++byte) bytes_.push_back(char((uint64_t(offset) >> (8 * byte)) & 0xff));
  }
  // The narrowest offset that can address a container of `body` bytes
  // followed by `count` offsets of that width.
  static size_t offset_width(size_t body, size_t count) {
    if (body + count <= 0xff) return 1;
    if (body + 2 * count <= 0xffff) return 2;
    if (body + 4 * count <= 0xffffffffu) return 4;
    return 8;
  }

  std::string bytes_;
  std::vector<size_t> ends_;
};

GVariant *list_folder(GVariant *parameter, GError **) {
  guint32 start = 0, limit = 0;
  g_variant_get(parameter, "(&suu)", nullptr, &start, &limit);
  std::string why;
  Fd dir = open_folder(parameter, &why);
  ListingWriter listed;
  if (!dir.ok()) return g_variant_new("(us@a(sbtx))", kRefused, why.c_str(), listed.finish());
  Converter from_gbk("UTF-8", "GBK");
  uint32_t seen = 0, kept = 0;
  std::string name;
  struct stat st;
  each_entry(dir.get(), [&](const char *stored) {
    if (client_name(&from_gbk, stored, &name) && seen++ >= start &&
        fstatat(dir.get(), stored, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      listed.add(name, S_ISDIR(st.st_mode), uint64_t(st.st_size), int64_t(st.st_mtim.tv_sec));
      ++kept;
    }
    return limit == 0 || kept < limit;
  });
  return g_variant_new("(us@a(sbtx))", kDone, "", listed.finish());
}

// ---- changes ----

// The one path of an action's parameter: its storage form, its folder and
// its last segment.
bool open_entry(GVariant *parameter, std::string *path, Fd *parent, std::string *name, std::string *why) {
  const gchar *client = nullptr;
  g_variant_get(parameter, "(&s)", &client);
  Fd root = open_root();
  return storage_path(client, path, why) && open_parent(root.get(), *path, parent, name, why);
}

GVariant *create_folder(GVariant *parameter, GError **) {
  std::string path, name, why;
  Fd parent;
  if (!open_entry(parameter, &path, &parent, &name, &why)) return refused(why);
  if (mkdirat(parent.get(), name.c_str(), 0755) != 0) return refused(reason(errno));
  return g_variant_new("(us)", kDone, "");
}

GVariant *rename_entry(GVariant *parameter, GError **) {
  const gchar *client = nullptr, *new_name = nullptr;
  g_variant_get(parameter, "(&s&s)", &client, &new_name);
  std::string path, name, stored_name, why;
  Fd root = open_root(), parent;
  if (std::strchr(new_name, '/') != nullptr || *new_name == '\0' || is_dot_or_dots(new_name))
    return refused("Invalid name");
  if (!storage_path(client, &path, &why) || !storage_path(new_name, &stored_name, &why) ||
      !open_parent(root.get(), path, &parent, &name, &why))
    return refused(why);
  if (path.find('/') == std::string::npos) return refused("A device's folder keeps its name");
  if (renameat2(parent.get(), name.c_str(), parent.get(), stored_name.c_str(), RENAME_NOREPLACE) != 0)
    return refused(reason(errno));
  return g_variant_new("(us)", kDone, "");
}

// Removes `name` in `dir` and, for a folder, all it holds; links are
// removed, never followed.
bool remove_tree(int dir, const char *name) {
  if (unlinkat(dir, name, 0) == 0) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  Fd folder(openat(dir, name, O_DIRECTORY | O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  bool removed = true;
  if (!folder.ok() || !each_entry(folder.get(), [&](const char *entry) {
        removed = remove_tree(folder.get(), entry) && removed;
        return true;
      }))
    return false;
  return removed && unlinkat(dir, name, AT_REMOVEDIR) == 0;
}

GVariant *remove_entry(GVariant *parameter, GError **) {
  std::string path, name, why;
  Fd parent;
  if (!open_entry(parameter, &path, &parent, &name, &why)) return refused(why);
  if (path.find('/') == std::string::npos) return refused("A device's folder cannot be removed");
  if (!remove_tree(parent.get(), name.c_str())) return refused(reason(errno));
  return g_variant_new("(us)", kDone, "");
}

// Whether the folder `inside` is `folder` or lies below it (followed up to
// the storage root).
bool within(int inside, const struct stat &folder, const struct stat &root) {
  Fd at(dup(inside));
  for (int depth = 0; depth < 256 && at.ok(); ++depth) {
    struct stat st;
    if (fstat(at.get(), &st) != 0) return true;
    if (st.st_dev == folder.st_dev && st.st_ino == folder.st_ino) return true;
    if (st.st_dev == root.st_dev && st.st_ino == root.st_ino) return false;
    at = Fd(openat(at.get(), "..", O_DIRECTORY | O_RDONLY | O_CLOEXEC));
  }
  return true;
}

// The source's folder and name, and the target folder, for Move and Copy.
struct Transfer {
  Fd root, from_parent, to;
  std::string from_name, stored_to_name;
  struct stat source {};
};

bool open_transfer(GVariant *parameter, Transfer *t, std::string *why) {
  const gchar *from = nullptr, *to = nullptr;
  g_variant_get(parameter, "(&s&s)", &from, &to);
  std::string from_path, to_path;
  t->root = open_root();
  if (!storage_path(from, &from_path, why) || !storage_path(to, &to_path, why) ||
      !open_parent(t->root.get(), from_path, &t->from_parent, &t->from_name, why))
    return false;
  if (from_path.find('/') == std::string::npos) return fail(why, "A device's folder cannot be moved");
  if (fstatat(t->from_parent.get(), t->from_name.c_str(), &t->source, AT_SYMLINK_NOFOLLOW) != 0)
    return fail(why, reason(errno));
  // A link is taken only when it stays inside the storage.
  if (S_ISLNK(t->source.st_mode) && !open_beneath(t->root.get(), from_path, O_PATH).ok())
    return fail(why, reason(errno));
  t->to = open_beneath(t->root.get(), to_path, O_DIRECTORY | O_RDONLY);
  if (!t->to.ok()) return fail(why, reason(errno));
  struct stat root_st;
  fstat(t->root.get(), &root_st);
  if (S_ISDIR(t->source.st_mode) && within(t->to.get(), t->source, root_st))
    return fail(why, "A folder cannot go into itself");
  struct stat existing;
  if (fstatat(t->to.get(), t->from_name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
    return fail(why, "The target exists");
  return true;
}

GVariant *move_entry(GVariant *parameter, GError **) {
  Transfer t;
  std::string why;
  if (!open_transfer(parameter, &t, &why)) return refused(why);
  if (renameat2(t.from_parent.get(), t.from_name.c_str(), t.to.get(), t.from_name.c_str(),
                RENAME_NOREPLACE) != 0)
    return refused(errno == EXDEV ? "The target is on another device" : reason(errno));
  return g_variant_new("(us)", kDone, "");
}

// ---- copies ----

struct Copy {
  std::atomic<uint64_t> copied{0};
  uint64_t total = 0;
  std::atomic<int> state{0};  // 0 running, 1 done, 2 failed
  std::string failure;        // set before state becomes 2
  std::string device;         // the mount point the target lies on
};

// Copies by number; finished ones are kept for the newest kKeptCopies numbers.
constexpr uint32_t kKeptCopies = 64;
std::mutex g_copies_mutex;
std::map<uint32_t, std::shared_ptr<Copy>> g_copies;
uint32_t g_next_copy = 1;

// Whether a device is still mounted at `mount_point` by the store's list.
bool device_present(const std::string &mount_point) {
  for (mib_list_node *node = usbinfo_get_list(0); node != nullptr; node = node->next)
    if (mount_point == static_cast<const usb_info_record *>(node->data)->mount_point) return true;
  return false;
}

uint64_t tree_size(int dir, const char *name) {
  struct stat st;
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  if (!S_ISDIR(st.st_mode)) return S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
  Fd folder(openat(dir, name, O_DIRECTORY | O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  uint64_t size = 0;
  if (folder.ok()) {
    each_entry(folder.get(), [&](const char *entry) {
      size += tree_size(folder.get(), entry);
      return true;
    });
  }
  return size;
}

bool copy_file(int from, int to, Copy *copy) {
  for (;;) {
    if (!copy->device.empty() && !device_present(copy->device)) return fail(&copy->failure, "device removed");
    const ssize_t n = copy_file_range(from, nullptr, to, nullptr, kCopyChunk, 0);
    if (n == 0) return true;
    if (n < 0) {
      if (errno != EXDEV && errno != ENOSYS && errno != EINVAL) return fail(&copy->failure, g_strerror(errno));
      // Across file systems: through a buffer.
      std::vector<char> buffer(1 << 20);
      const ssize_t r = read(from, buffer.data(), buffer.size());
      if (r < 0) return fail(&copy->failure, g_strerror(errno));
      if (r == 0) return true;
      for (ssize_t written = 0; written < r;) {
        const ssize_t w = write(to, buffer.data() + written, size_t(r - written));
        if (w < 0) return fail(&copy->failure, g_strerror(errno));
        written += w;
      }
      copy->copied += uint64_t(r);
      continue;
    }
    copy->copied += uint64_t(n);
  }
}

// Copies `name` of `from_dir` into `to_dir` as `name`; symbolic links are
// not followed (they are left out).
bool copy_tree(int from_dir, int to_dir, const char *name, Copy *copy) {
  struct stat st;
  if (fstatat(from_dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return fail(&copy->failure, g_strerror(errno));
  if (S_ISREG(st.st_mode)) {
    Fd from(openat(from_dir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    Fd to(openat(to_dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 0777));
    if (!from.ok() || !to.ok()) return fail(&copy->failure, g_strerror(errno));
    return copy_file(from.get(), to.get(), copy);
  }
  if (!S_ISDIR(st.st_mode)) return true;
  if (mkdirat(to_dir, name, st.st_mode & 0777) != 0) return fail(&copy->failure, g_strerror(errno));
  Fd from(openat(from_dir, name, O_DIRECTORY | O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  Fd to(openat(to_dir, name, O_DIRECTORY | O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!from.ok() || !to.ok()) return fail(&copy->failure, g_strerror(errno));
  bool copied = true;
  if (!each_entry(from.get(), [&](const char *entry) {
        copied = copy_tree(from.get(), to.get(), entry, copy);
        return copied;
      }))
    return fail(&copy->failure, g_strerror(errno));
  return copied;
}

// The mount point the folder `to` (a storage path) lies on: "/mnt/" and its
// first segment.
std::string device_of(const gchar *to) {
  const char *slash = std::strchr(to, '/');
  return std::string(kStorageRoot) + "/" + (slash != nullptr ? std::string(to, slash) : std::string(to));
}

GVariant *start_copy(GVariant *parameter, GError **) {
  auto t = std::make_shared<Transfer>();
  std::string why;
  if (!open_transfer(parameter, t.get(), &why)) return g_variant_new("(usu)", kRefused, why.c_str(), 0u);
  auto copy = std::make_shared<Copy>();
  const gchar *to = nullptr;
  g_variant_get_child(parameter, 1, "&s", &to);
  copy->device = device_of(to);
  copy->total = tree_size(t->from_parent.get(), t->from_name.c_str());
  uint32_t id = 0;
  {
    std::lock_guard lock(g_copies_mutex);
    id = g_next_copy++;
    g_copies[id] = copy;
    std::erase_if(g_copies, [id](const auto &entry) {
      return entry.first + kKeptCopies <= id && entry.second->state.load() != 0;
    });
  }
  std::thread([t, copy] {
    const bool copied = copy_tree(t->from_parent.get(), t->to.get(), t->from_name.c_str(), copy.get());
    if (!copied) remove_tree(t->to.get(), t->from_name.c_str());
    copy->state = copied ? 1 : 2;
  }).detach();
  return g_variant_new("(usu)", kDone, "", id);
}

GVariant *copy_progress(GVariant *parameter, GError **) {
  guint32 id = 0;
  g_variant_get(parameter, "(u)", &id);
  std::shared_ptr<Copy> copy;
  {
    std::lock_guard lock(g_copies_mutex);
    if (auto found = g_copies.find(id); found != g_copies.end()) copy = found->second;
  }
  if (copy == nullptr) return g_variant_new("(usstt)", kRefused, "No such copy", "", guint64(0), guint64(0));
  const int state = copy->state.load();
  const char *name = state == 0 ? "running" : state == 1 ? "done" : "failed";
  return g_variant_new("(usstt)", state == 2 ? kRefused : kDone, state == 2 ? copy->failure.c_str() : "",
                       name, guint64(copy->copied.load()), guint64(copy->total));
}

GVariant *disc_info(GVariant *parameter, GError **) {
  std::string why;
  Fd dir = open_folder(parameter, &why);
  struct statvfs fs;
  if (!dir.ok() || fstatvfs(dir.get(), &fs) != 0)
    return g_variant_new("(usttt)", kRefused, why.c_str(), guint64(0),
                         guint64(0), guint64(0));
  return g_variant_new("(usttt)", kDone, "", guint64(fs.f_blocks) * fs.f_frsize,
                       guint64(fs.f_blocks - fs.f_bfree) * fs.f_frsize, guint64(fs.f_bavail) * fs.f_frsize);
}

constexpr Action kActions[] = {
    {0, "(s)", get_file_num},   {1, "(suu)", list_folder},  {2, "(s)", create_folder},
    {3, "(ss)", rename_entry},  {4, "(s)", remove_entry},   {5, "(ss)", move_entry},
    {6, "(ss)", start_copy},    {7, "(u)", copy_progress},  {8, "(s)", disc_info},
};
constexpr igd1::mib::Actions kDispatcher("homeNAS_handle_action", kActions);

}  // namespace

int homeNAS_handle_action(int code, GVariant *parameters, GVariant **reply) {
  if (code < 0) {
    if (reply != nullptr) *reply = nullptr;
    return 0;
  }
  return kDispatcher.handle(uint32_t(code), parameters, reply);
}
