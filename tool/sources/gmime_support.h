// GMime, held safely: the library is set up once per process, and its
// objects are released by owners rather than by hand.
#pragma once

#include <gmime/gmime.h>

#include <memory>
#include <string>

namespace kaldo::tool {

// Sets GMime up the first time it is called; cheap afterwards.
void use_gmime();

struct gobject_release {
  void operator()(void* object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
template <class T>
using gobject_ptr = std::unique_ptr<T, gobject_release>;

// Opens `path` for reading as a GMime stream, or null with the reason.
gobject_ptr<GMimeStream> open_file_stream(const std::string& path, std::string* error);

}  // namespace kaldo::tool
