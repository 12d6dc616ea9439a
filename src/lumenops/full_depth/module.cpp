#include <vector>

#include "frame/module_functions.h"
#include "full_depth/families.h"

namespace pictor::full_depth {
namespace {

std::vector<PyMethodDef> all_functions() {
  std::vector<PyMethodDef> functions;
  for (const PyMethodDef* family : {smoothing_functions, levels_functions, tone_functions}) {
    for (const PyMethodDef* function = family; function->ml_name != nullptr; ++function) {
      functions.push_back(*function);
    }
  }
  functions.push_back({nullptr, nullptr, 0, nullptr});
  return functions;
}

}  // namespace

void register_module() {
  static std::vector<PyMethodDef> functions = all_functions();
  static PyModuleDef definition = {
      PyModuleDef_HEAD_INIT, "pictor._full_depth",
      "The working-copy operations at the image's own depth, for pictor's functions (internal).", -1,
      functions.data(), nullptr, nullptr, nullptr, nullptr,
  };
  register_private_module(definition);
}

}  // namespace pictor::full_depth
