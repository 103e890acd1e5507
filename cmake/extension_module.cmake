# karvex_extension_module(<name> <exports map> <sources>...): a Python
# extension module built from the shared binding (karvex_binding) and the
# core, exporting only what <exports map> lists (its PyInit function).
function(karvex_extension_module name exports_map)
  python_add_library(${name} MODULE ${ARGN} WITH_SOABI)
  target_link_libraries(${name} PRIVATE karvex_binding)
  set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                           VISIBILITY_INLINES_HIDDEN ON)
  # Hidden visibility does not reach the static archives or the static locals
  # of standard-library templates; the version script makes everything else
  # local, so two modules in one process never share a symbol.
  target_link_options(${name} PRIVATE "LINKER:--version-script=${exports_map}")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${exports_map})
endfunction()
