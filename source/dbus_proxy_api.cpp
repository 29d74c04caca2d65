// Framework services shared by the object modules.
#include "dbus_proxy_api.h"

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "igd1_assert.h"
#include "sys_paths.h"

GDBusNodeInfo *dbus_proxy_readxml(const char *file_name) {
  // Production paths fit the gateway's 128-byte buffers; under a root folder
  // they grow, so the path is built without a fixed limit.
  std::string path = igd1::sys_path(std::string(igd1::path::kDbusXmlDir) + file_name);

  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    std::printf("Get %s size failed \n ", path.c_str());
    return nullptr;
  }
  FILE *stream = std::fopen(path.c_str(), "r");
  if (stream == nullptr) {
    std::printf("open file %s failed\n", path.c_str());
    return nullptr;
  }
  const size_t size = size_t(st.st_size);
  g_autofree gchar *text = static_cast<gchar *>(g_malloc0(size + 1));
  size_t got = std::fread(text, 1, size, stream);
  text[got] = '\0';
  std::fclose(stream);

  g_autoptr(GError) error = nullptr;
  GDBusNodeInfo *retNodeInfo = g_dbus_node_info_new_for_xml(text, &error);
  if (error != nullptr) {
    g_warning("D-Bus server init failed: %s", error->message);
    if (retNodeInfo != nullptr) g_dbus_node_info_unref(retNodeInfo);
    return nullptr;
  }
  IGD1_ASSERT(retNodeInfo != NULL);
  std::printf("%s loaded !\n", path.c_str());
  return retNodeInfo;
}
