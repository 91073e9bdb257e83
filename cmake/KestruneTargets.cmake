# Shared compile settings and the helpers that turn a source folder into one
# library target, a test executable or a benchmark.

add_library(kestrune_options INTERFACE)
target_compile_options(kestrune_options INTERFACE -Wall -Wextra)
target_include_directories(kestrune_options INTERFACE ${PROJECT_SOURCE_DIR})

if(KESTRUNE_ASAN AND KESTRUNE_TSAN)
  message(FATAL_ERROR "KESTRUNE_ASAN and KESTRUNE_TSAN cannot be combined")
endif()
if(KESTRUNE_ASAN)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(KESTRUNE_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(KESTRUNE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KESTRUNE_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  # Every library is instrumented for coverage and checked by the sanitizers;
  # only the fuzz binaries link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined,float-cast-overflow
                      -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined,float-cast-overflow)
endif()


# kestrune_module(<target> <folder> [RECURSIVE] [DEPS <targets>...])
# Builds every .cpp of <folder> (and of its sub-folders with RECURSIVE) into a
# static library. A folder without sources yet becomes an interface library so
# that dependants can already name it.
function(kestrune_module target folder)
  cmake_parse_arguments(ARG "RECURSIVE" "" "DEPS" ${ARGN})
  if(ARG_RECURSIVE)
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${folder}/*.cpp)
  else()
    file(GLOB sources CONFIGURE_DEPENDS ${folder}/*.cpp)
  endif()
  if(sources)
    add_library(${target} STATIC ${sources})
    target_link_libraries(${target} PUBLIC kestrune_options ${ARG_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE kestrune_options ${ARG_DEPS})
  endif()
endfunction()

# kestrune_test(<name> SOURCES <files>... [LIBS <targets>...])
function(kestrune_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  # A test file that is still being written must not break everyone's configure.
  set(present "")
  foreach(source ${ARG_SOURCES})
    if(IS_ABSOLUTE ${source})
      set(path ${source})
    else()
      set(path ${CMAKE_CURRENT_SOURCE_DIR}/${source})
    endif()
    if(EXISTS ${path})
      list(APPEND present ${source})
    else()
      message(WARNING "${name}: ${source} does not exist yet; left out")
    endif()
  endforeach()
  if(NOT present)
    return()
  endif()
  add_executable(${name} ${present})
  target_link_libraries(${name} PRIVATE kestrune_options GTest::gtest GTest::gmock GTest::gtest_main ${ARG_LIBS})
  target_compile_definitions(${name} PRIVATE
    KESTRUNE_SHARED_DIR="${KESTRUNE_SHARED_DIR}"
    KESTRUNE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    KESTRUNE_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 600)
endfunction()

# kestrune_bench(<name> SOURCES <files>... [LIBS <targets>...])
function(kestrune_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE kestrune_options benchmark::benchmark ${ARG_LIBS})
  target_compile_definitions(${name} PRIVATE
    KESTRUNE_SHARED_DIR="${KESTRUNE_SHARED_DIR}"
    KESTRUNE_BINARY_DIR="${PROJECT_BINARY_DIR}")
endfunction()
