# Shared build rules: one flags target, the layer check for core libraries,
# the resource copy and the test registration.

add_library(clipferry_flags INTERFACE)
target_compile_features(clipferry_flags INTERFACE cxx_std_20)
target_compile_definitions(clipferry_flags INTERFACE
  QT_NO_CONTEXTLESS_CONNECT QT_NO_KEYWORDS
  CLIPFERRY_VERSION="${PROJECT_VERSION}")
target_compile_options(clipferry_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wold-style-cast -Werror)
if(CLIPFERRY_SANITIZE)
  target_compile_options(clipferry_flags INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(clipferry_flags INTERFACE -fsanitize=address,undefined)
endif()

# Program code builds every QString explicitly; tests may write plain literals.
add_library(clipferry_strict INTERFACE)
target_compile_definitions(clipferry_strict INTERFACE QT_NO_CAST_FROM_ASCII)
target_link_libraries(clipferry_strict INTERFACE clipferry_flags)

# A core library must not reach the widget module: its sources are checked
# at configure time, and QtWidgets is never on its include path.
function(clipferry_core_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  foreach(src IN LISTS ARG_SOURCES)
    file(READ ${CMAKE_CURRENT_SOURCE_DIR}/${src} text)
    if(text MATCHES "#[ \t]*include[ \t]*<(QtWidgets/|QApplication>|QWidget>|QDialog>|QMessageBox>|QMainWindow>)")
      message(FATAL_ERROR "${src}: a core library includes a widget header")
    endif()
  endforeach()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC clipferry_flags ${ARG_LINK} PRIVATE clipferry_strict)
endfunction()

function(clipferry_gui_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC clipferry_flags Qt6::Widgets ${ARG_LINK} PRIVATE clipferry_strict)
endfunction()

# Read-only files live beside the binaries, as in an installed program.
function(clipferry_copy_resources)
  file(GLOB_RECURSE files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/*)
  set(outputs)
  foreach(f IN LISTS files)
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR}/resources ${f})
    set(out ${CMAKE_BINARY_DIR}/bin/${rel})
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${f} ${out}
      DEPENDS ${f} VERBATIM)
    list(APPEND outputs ${out})
  endforeach()
  add_custom_target(clipferry_resources ALL DEPENDS ${outputs})
endfunction()

# One Qt Test executable per source folder; each test runs with its own
# data folder, settings file and temporary folder.
function(clipferry_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LINK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE clipferry_flags Qt6::Test ${ARG_LINK})
  target_compile_definitions(${name} PRIVATE QT_RESTRICTED_CAST_FROM_ASCII)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  add_dependencies(${name} clipferry_resources)
  add_test(NAME ${name}
    COMMAND ${CMAKE_COMMAND} -DTEST=$<TARGET_FILE:${name}> -DWORK=${CMAKE_BINARY_DIR}/testwork/${name}
            -P ${CMAKE_SOURCE_DIR}/cmake/RunIsolated.cmake)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;CLIPFERRY_TOOLS=${CMAKE_BINARY_DIR}/bin;ASAN_OPTIONS=detect_leaks=0:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endfunction()
