# Sources of the extension module (the only code that includes Python.h).
set(KARVEX_BINDING_SOURCES
  src/module.cpp
  src/eval/bridge.cpp
)
