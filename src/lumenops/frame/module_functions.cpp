#include "frame/module_functions.h"

namespace pictor {

void register_private_module(PyModuleDef& definition) {
  Ref module = checked(PyModule_Create(&definition));
  checked_status(PyDict_SetItemString(PyImport_GetModuleDict(), definition.m_name, module.get()));
}

}  // namespace pictor
