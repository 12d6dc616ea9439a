#include "frame/error.h"

#include <cstring>

namespace pictor {

const char* source_path(const Where& where) {
  const char* path = where.file_name();
  const std::size_t root_length = std::strlen(PICTOR_SOURCE_ROOT);
  if (std::strncmp(path, PICTOR_SOURCE_ROOT, root_length) == 0) return path + root_length;
  return path;
}

void add_traceback(const char* function, const Where& where) {
  _PyTraceback_Add(function, source_path(where), static_cast<int>(where.line()));
}

}  // namespace pictor
