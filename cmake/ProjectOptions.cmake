# One interface target that carries the warning and sanitizer options; every
# first-party target links it, third-party code (gtest, benchmark, rapidjson)
# does not get -Werror.
#
# Warnings are errors only when SIDECAR_WERROR is on (scripts/build and CI
# turn it on): a compiler newer or older than the ones the project is checked
# with may warn where they do not, sometimes wrongly inside its own library,
# and that must not stop a packager's or a user's plain build.
add_library(sidecar_options INTERFACE)
target_compile_options(sidecar_options INTERFACE
  -Wall -Wextra -Wpedantic $<$<BOOL:${SIDECAR_WERROR}>:-Werror>)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(sidecar_options INTERFACE -Wthread-safety)
endif()

if(SIDECAR_SANITIZE)
  add_compile_options(-fsanitize=${SIDECAR_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${SIDECAR_SANITIZE})
  # Tests that take away nearly every descriptor skip themselves: the
  # sanitizers' own checks need descriptors of their own (UBSan's vptr check
  # opens a pipe), and fail where the code under test does not.
  add_compile_definitions(SIDECAR_SANITIZED=1)
endif()
