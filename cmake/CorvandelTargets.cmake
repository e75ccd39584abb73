# Shared settings for every Corvandel target. Nothing here touches the
# settings of a project that includes Corvandel with add_subdirectory().

set(CORVANDEL_WARNING_FLAGS -Wall -Wextra -Wpedantic)
# g++ 12 reports impossible overlaps inside std::string concatenation once
# optimising (-Wrestrict false positives in char_traits); the check is kept
# on every other compiler.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
   AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND CORVANDEL_WARNING_FLAGS -Wno-restrict)
endif()
if(CORVANDEL_WERROR)
  list(APPEND CORVANDEL_WARNING_FLAGS -Werror)
endif()

set(CORVANDEL_SANITIZER_FLAGS "")
if(CORVANDEL_SANITIZE)
  set(CORVANDEL_SANITIZER_FLAGS -fsanitize=${CORVANDEL_SANITIZE} -fno-omit-frame-pointer)
  if(CORVANDEL_SANITIZE MATCHES "undefined")
    list(APPEND CORVANDEL_SANITIZER_FLAGS -fno-sanitize-recover=undefined)
  endif()
endif()

# Fuzzing instruments every target for coverage; only the fuzz programs
# themselves link the fuzzer's main.
if(CORVANDEL_FUZZ)
  list(APPEND CORVANDEL_SANITIZER_FLAGS -fsanitize=fuzzer-no-link)
endif()

# Applies the project's language level, warnings and sanitizers to a target.
# The project's own targets include from the top of the source tree; that
# root stays private, so a consumer sees only the libraries' own roots.
function(corvandel_configure_target target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE ${CORVANDEL_WARNING_FLAGS} ${CORVANDEL_SANITIZER_FLAGS})
  if(CORVANDEL_SANITIZER_FLAGS)
    target_link_options(${target} PUBLIC ${CORVANDEL_SANITIZER_FLAGS})
  endif()
endfunction()

# corvandel_add_library(<name> [DIRECTORY <dir>] SOURCES ... DEPENDS ...)
# makes the library corvandel_<name> with the alias corvandel::<name>, from
# the sources in <dir> (default: <name>). Consumers write
# #include "<dir>/header.h": the library's include root holds that one
# directory alone, so neither the front-ends nor the tests are reachable
# through it.
function(corvandel_add_library name)
  cmake_parse_arguments(ARG "" "DIRECTORY" "SOURCES;DEPENDS" ${ARGN})
  if(NOT ARG_DIRECTORY)
    set(ARG_DIRECTORY ${name})
  endif()
  add_library(corvandel_${name} STATIC ${ARG_SOURCES})
  add_library(corvandel::${name} ALIAS corvandel_${name})
  set(root ${PROJECT_BINARY_DIR}/include/${name})
  file(MAKE_DIRECTORY ${root})
  if(NOT EXISTS ${root}/${ARG_DIRECTORY})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${ARG_DIRECTORY} ${root}/${ARG_DIRECTORY} SYMBOLIC)
  endif()
  target_include_directories(corvandel_${name} PUBLIC $<BUILD_INTERFACE:${root}>)
  target_link_libraries(corvandel_${name} PUBLIC ${ARG_DEPENDS})
  corvandel_configure_target(corvandel_${name})
endfunction()
