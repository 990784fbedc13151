# One interface target that carries the warning and sanitizer options; every
# first-party target links it, third-party code (gtest, benchmark, rapidjson)
# does not get -Werror.
add_library(sidecar_options INTERFACE)
target_compile_options(sidecar_options INTERFACE
  -Wall -Wextra -Wpedantic -Werror)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(sidecar_options INTERFACE -Wthread-safety)
endif()

if(SIDECAR_SANITIZE)
  add_compile_options(-fsanitize=${SIDECAR_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${SIDECAR_SANITIZE})
endif()
