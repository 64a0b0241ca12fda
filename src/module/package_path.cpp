#include "module/package_path.hpp"

#include <Python.h>
#include <dlfcn.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace qv::py {

namespace {

// Any address inside the module's shared object tells the loader which file it came from.
const char kAnchor = 0;

}  // namespace

Ref package_path() {
  Dl_info info{};
  if (dladdr(&kAnchor, &info) == 0 || info.dli_fname == nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "quelvant_rs: the dynamic loader does not know the module's file");
    return {};
  }
  std::error_code ec;
  std::filesystem::path file = std::filesystem::absolute(info.dli_fname, ec);
  if (ec) file = info.dli_fname;
  const std::string dir = (file.parent_path() / "quelvant_rs").string();
  Ref text = Ref::steal(
      PyUnicode_DecodeFSDefaultAndSize(dir.data(), static_cast<Py_ssize_t>(dir.size())));
  if (!text) return {};
  Ref list = Ref::steal(PyList_New(0));
  if (!list || PyList_Append(list.get(), text.get()) < 0) return {};
  return list;
}

}  // namespace qv::py
