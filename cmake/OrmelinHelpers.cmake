# One place that gives every target of the project the same warnings and sanitizer options.

# -O3 in the optimised builds of the libraries and programs (not the tests, where GCC 12's -O3 raises false
# -Wrestrict warnings in std::string code): GCC 12 vectorises at -O2 only the cheapest loops, and the
# signal-processing loops (window copies, magnitudes, counts, filters) are where the station spends its time.
# IEEE semantics are unchanged (no -ffast-math), so results are the same bits. -ffp-contract=off everywhere: g++
# fuses a * b + c into one FMA whenever the target has it, even in ISO mode, and the AVX-512 copies of the
# multi-versioned loops do (AVX-512F implies FMA), which would round differently from the other copies.
function(ormelin_speed_options target)
  target_compile_options(${target} PRIVATE $<$<CONFIG:Release,RelWithDebInfo>:-O3> -ffp-contract=off)
endfunction()

function(ormelin_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(ORMELIN_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=${ORMELIN_SANITIZE} -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=${ORMELIN_SANITIZE})
  endif()
endfunction()

# ormelin_add_library(name SOURCES ... DEPS ...)
# A static library whose include root is the repository root, so headers are included as "dsp/fourier.h".
function(ormelin_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  ormelin_target_options(${name})
  ormelin_speed_options(${name})
endfunction()

# ormelin_add_executable(name SOURCES ... DEPS ...)
function(ormelin_add_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  ormelin_target_options(${name})
  ormelin_speed_options(${name})
endfunction()

# ormelin_add_test(name SOURCES ... DEPS ... [LABELS ...] [RESOURCE_LOCK ...])
# One GoogleTest executable; its cases are discovered by CTest and carry the given labels.
function(ormelin_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS;RESOURCE_LOCK;TIMEOUT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE ORMELIN_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                             ORMELIN_BINARY_DIR="${PROJECT_BINARY_DIR}")
  ormelin_target_options(${name})
  set(props "")
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  if(ARG_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  list(APPEND props TIMEOUT ${ARG_TIMEOUT})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
