# C++ unit tests, one file per core component.
set(KARVEX_TEST_SOURCES
  tests/cpp/bbox_test.cpp
  tests/cpp/fd_gradients_test.cpp
)
