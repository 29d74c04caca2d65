// Loading the module library and finding its entry functions.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "host.h"

namespace igd1::host {
namespace {

constexpr std::string_view kEntrySuffix = "_on_bus_acquired";
// Called first, on its own.
constexpr std::string_view kRootEntry = "IGD1_on_bus_acquired";
// Started by the DNS server module between its node and object registration.
constexpr std::string_view kNestedEntries[] = {"DNSTunnel_on_bus_acquired"};

bool is_nested(std::string_view name) {
  return std::find(std::begin(kNestedEntries), std::end(kNestedEntries), name) !=
         std::end(kNestedEntries);
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() > suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// A read-only mapping of a whole file.
class MappedFile {
 public:
  explicit MappedFile(const std::string &file) {
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
      void *data = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
      if (data != MAP_FAILED) {
        data_ = static_cast<const uint8_t *>(data);
        size_ = size_t(st.st_size);
      }
    }
    close(fd);
  }
  ~MappedFile() {
    if (data_ != nullptr) munmap(const_cast<uint8_t *>(data_), size_);
  }
  MappedFile(const MappedFile &) = delete;
  MappedFile &operator=(const MappedFile &) = delete;

  const uint8_t *data() const { return data_; }
  size_t size() const { return size_; }
  bool contains(size_t offset, size_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

 private:
  const uint8_t *data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace

bool exported_entry_names(const std::string &file, std::vector<std::string> *names,
                          std::string *error) {
  names->clear();
  MappedFile elf(file);
  if (elf.data() == nullptr) {
    *error = "cannot read " + file;
    return false;
  }
  if (!elf.contains(0, sizeof(ElfW(Ehdr))) || std::memcmp(elf.data(), ELFMAG, SELFMAG) != 0) {
    *error = file + " is not an ELF file";
    return false;
  }
  const auto *header = reinterpret_cast<const ElfW(Ehdr) *>(elf.data());
  if (header->e_ident[EI_CLASS] != (sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32) ||
      header->e_shentsize != sizeof(ElfW(Shdr)) ||
      !elf.contains(header->e_shoff, size_t(header->e_shnum) * sizeof(ElfW(Shdr)))) {
    *error = file + " has an unexpected ELF layout";
    return false;
  }
  const auto *sections = reinterpret_cast<const ElfW(Shdr) *>(elf.data() + header->e_shoff);
  for (size_t i = 0; i < header->e_shnum; ++i) {
    const ElfW(Shdr) &symtab = sections[i];
    if (symtab.sh_type != SHT_DYNSYM || symtab.sh_link >= header->e_shnum ||
        symtab.sh_entsize != sizeof(ElfW(Sym)) || !elf.contains(symtab.sh_offset, symtab.sh_size))
      continue;
    const ElfW(Shdr) &strtab = sections[symtab.sh_link];
    if (!elf.contains(strtab.sh_offset, strtab.sh_size)) continue;
    const char *strings = reinterpret_cast<const char *>(elf.data() + strtab.sh_offset);
    const auto *symbols = reinterpret_cast<const ElfW(Sym) *>(elf.data() + symtab.sh_offset);
    for (size_t s = 0; s < symtab.sh_size / sizeof(ElfW(Sym)); ++s) {
      const ElfW(Sym) &sym = symbols[s];
      if (sym.st_shndx == SHN_UNDEF || ELF64_ST_TYPE(sym.st_info) != STT_FUNC ||
          ELF64_ST_BIND(sym.st_info) == STB_LOCAL || sym.st_name >= strtab.sh_size)
        continue;
      std::string_view name(strings + sym.st_name,
                            strnlen(strings + sym.st_name, strtab.sh_size - sym.st_name));
      if (ends_with(name, kEntrySuffix)) names->emplace_back(name);
    }
  }
  std::sort(names->begin(), names->end());
  names->erase(std::unique(names->begin(), names->end()), names->end());
  return true;
}

ModuleLibrary::~ModuleLibrary() {
  // The library stays mapped: its objects and threads live until the process
  // ends, exactly as in the gateway.
}

bool ModuleLibrary::load(const std::string &file, std::string *error) {
  // RTLD_NOW: a configuration-library or host function the library needs but
  // nobody provides is reported now, not at its first call.
  void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) {
    *error = dlerror();
    return false;
  }
  handle_ = handle;
  // Report the file the loader really used (a bare name is searched).
  struct link_map *map = nullptr;
  file_ = (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name[0] != '\0')
              ? map->l_name
              : file;
  return true;
}

void *ModuleLibrary::symbol(const std::string &name) const {
  return handle_ == nullptr ? nullptr : dlsym(handle_, name.c_str());
}

bool ModuleLibrary::module_entries(const std::vector<std::string> &only,
                                   std::vector<EntryPoint> *entries, std::string *error) const {
  entries->clear();
  std::vector<std::string> exported;
  if (!exported_entry_names(file_, &exported, error)) return false;

  std::vector<std::string> wanted;
  if (only.empty()) {
    for (const auto &name : exported)
      if (name != kRootEntry && !is_nested(name)) wanted.push_back(name);
  } else {
    for (const auto &module : only) {
      std::string name = ends_with(module, kEntrySuffix) ? module : module + std::string(kEntrySuffix);
      if (name == kRootEntry || is_nested(name)) continue;
      if (std::find(exported.begin(), exported.end(), name) == exported.end()) {
        *error = "unknown module " + module;
        return false;
      }
      wanted.push_back(name);
    }
  }
  for (const auto &name : wanted) {
    auto function = reinterpret_cast<BusAcquiredFn>(symbol(name));
    if (function == nullptr) {
      *error = "cannot resolve " + name;
      return false;
    }
    entries->push_back({name, function});
  }
  return true;
}

namespace {

std::string_view module_of(const EntryPoint &entry) {
  std::string_view name = entry.name;
  name.remove_suffix(kEntrySuffix.size());
  return name;
}

}  // namespace

bool order_entries(const StartOrder &order, std::vector<EntryPoint> *entries, std::string *error) {
  std::vector<EntryPoint> waiting = std::move(*entries);
  entries->clear();
  // Whether the entry at `i` still waits for a module yet to start.
  auto waits = [&](size_t i) {
    const std::string_view module = module_of(waiting[i]);
    for (const auto &[later, earlier] : order) {
      if (later != module) continue;
      for (size_t j = 0; j < waiting.size(); ++j)
        if (j != i && module_of(waiting[j]) == earlier) return true;
    }
    return false;
  };
  while (!waiting.empty()) {
    size_t next = 0;
    while (next < waiting.size() && waits(next)) ++next;
    if (next == waiting.size()) {
      *error = "modules wait for each other:";
      for (const EntryPoint &entry : waiting) *error += " " + std::string(module_of(entry));
      return false;
    }
    entries->push_back(std::move(waiting[next]));
    waiting.erase(waiting.begin() + std::ptrdiff_t(next));
  }
  return true;
}

StartOrder &declared_start_order() {
  static StartOrder order;
  return order;
}

std::string default_library_path() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = '\0';
    std::string dir(self);
    dir.resize(dir.rfind('/') + 1);
    std::string candidate = dir + "libigd1.so";
    if (access(candidate.c_str(), R_OK) == 0) return candidate;
  }
  return "libigd1.so";
}

}  // namespace igd1::host
