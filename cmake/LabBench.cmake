# SPDX-License-Identifier: GPL-3.0-or-later
# Helpers shared by the program folders.

# labbench_program(NAME SOURCES ... PANEL file.uir [ICON file.svg])
#   Builds the program module once, as an object library NAME_module, and from it:
#   - the executable NAME, with its panel file copied beside it (where LoadPanel looks first);
#   - a static library NAME_testable for the tests, the same object with `main` renamed
#     to `NAME_main`, so a test can run the program's entry in its own process.
#   With ICON, the header NAME_icon.h holds the SVG document as `program_icon_svg`, for
#   the program to hand to the run-time with its identity (one object, so that the
#   objcopy step below still takes the module whole).
function(labbench_program name)
  cmake_parse_arguments(ARG "" "PANEL;ICON" "SOURCES" ${ARGN})
  add_library(${name}_module OBJECT ${ARG_SOURCES})
  if(ARG_ICON)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ARG_ICON})
    file(READ ${ARG_ICON} svg)
    file(RELATIVE_PATH icon_source ${PROJECT_SOURCE_DIR} ${ARG_ICON})
    file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${name}_icon.h @ONLY CONTENT
"// SPDX-License-Identifier: GPL-3.0-or-later
// Made by labbench_program() from @icon_source@: the program's icon.
#pragma once
static const char program_icon_svg[] = R\"svg(@svg@)svg\";
")
    target_include_directories(${name}_module PUBLIC ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  # Programs include no Qt header and need no AUTOMOC, which would add a second
  # object that the objcopy step below cannot take (it is off project-wide).
  target_link_libraries(${name}_module PUBLIC userint gpib portio)
  target_include_directories(${name}_module PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})

  add_executable(${name} $<TARGET_OBJECTS:${name}_module>)
  target_link_libraries(${name} PRIVATE ${name}_module)

  set(panel_src ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_PANEL})
  labbench_panel_beside(${name} ${panel_src})
  set_property(TARGET ${name} PROPERTY LABBENCH_PANEL ${panel_src})

  set(testable_obj ${CMAKE_CURRENT_BINARY_DIR}/${name}_testable.o)
  add_custom_command(OUTPUT ${testable_obj}
    COMMAND ${CMAKE_OBJCOPY} --redefine-sym main=${name}_main
            $<TARGET_OBJECTS:${name}_module> ${testable_obj}
    DEPENDS ${name}_module $<TARGET_OBJECTS:${name}_module>
    COMMAND_EXPAND_LISTS
    COMMENT "Test copy of ${name} with main renamed to ${name}_main")
  add_library(${name}_testable STATIC ${testable_obj})
  set_target_properties(${name}_testable PROPERTIES LINKER_LANGUAGE CXX)
  target_link_libraries(${name}_testable PUBLIC userint gpib portio)
  target_include_directories(${name}_testable PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})

  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${panel_src} DESTINATION ${CMAKE_INSTALL_DATADIR}/labbench)
endfunction()

# labbench_panel_beside(TARGET panel-file): puts a panel file beside an executable
#   (in its RUNTIME_OUTPUT_DIRECTORY, else the current binary folder), where
#   LoadPanel looks first. The copy is a build step of its own that depends on
#   the source file, so a panel edited in the source tree is copied again at the
#   next build even when the executable itself is up to date. Executables of one
#   folder that use the same panel share one copy.
function(labbench_panel_beside target panel)
  get_target_property(folder ${target} RUNTIME_OUTPUT_DIRECTORY)
  if(NOT folder)
    set(folder ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  get_filename_component(panel_name ${panel} NAME)
  set(copy ${folder}/${panel_name})
  file(RELATIVE_PATH step_name ${PROJECT_BINARY_DIR} ${copy})
  string(MAKE_C_IDENTIFIER "panel_${step_name}" step)
  if(NOT TARGET ${step})
    add_custom_command(OUTPUT ${copy}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${panel} ${copy}
      DEPENDS ${panel} COMMENT "Panel file ${step_name}")
    add_custom_target(${step} DEPENDS ${copy})
  endif()
  add_dependencies(${target} ${step})
endfunction()

# What a GPIB driver library and a port library export (symbol lists, one name a line).
set(LABBENCH_GPIB_DRIVER_EXPORTS ${PROJECT_SOURCE_DIR}/platform/gpib/gpib_driver.exports)
set(LABBENCH_PORT_LIBRARY_EXPORTS ${PROJECT_SOURCE_DIR}/platform/portio/port_library.exports)

# labbench_driver_library(NAME SOURCES ... EXPORTS list-or-symbol ... [LIBRARIES ...]
#                         [DEFINITIONS ...])
#   Builds a library that a program loads at run time in place of a hardware driver
#   (the simulators, the test drivers, the benchmark drivers), every one the same way:
#   hidden visibility by default, a version script exporting exactly EXPORTS (each a
#   symbol list file such as ${LABBENCH_GPIB_DRIVER_EXPORTS}, or one symbol name),
#   -Bsymbolic so that the program's own symbols (its ibsta, say) never interpose on
#   the library's, and --no-undefined so that a missing definition fails the build
#   rather than the program's dlopen.
function(labbench_driver_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;EXPORTS;LIBRARIES;DEFINITIONS" ${ARGN})
  set(symbols "")
  foreach(export IN LISTS ARG_EXPORTS)
    if(EXISTS ${export})
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${export})
      file(STRINGS ${export} names REGEX "^[A-Za-z_][A-Za-z0-9_]*$")
      list(APPEND symbols ${names})
    else()
      list(APPEND symbols ${export})
    endif()
  endforeach()
  if(NOT symbols)
    message(FATAL_ERROR "labbench_driver_library(${name}): EXPORTS names no symbol")
  endif()
  list(JOIN symbols "; " global)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
  file(CONFIGURE OUTPUT ${script} CONTENT "{\n  global: @global@;\n  local: *;\n};\n" @ONLY)

  add_library(${name} SHARED ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
  target_compile_definitions(${name} PRIVATE ${ARG_DEFINITIONS})
  set_target_properties(${name} PROPERTIES
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${script})
  target_link_options(${name} PRIVATE
    -Wl,-Bsymbolic -Wl,--no-undefined -Wl,--version-script=${script})
endfunction()

# labbench_port_library(NAME SOURCES ... [EXPORTS symbol ...] [LIBRARIES ...])
#   A port library (platform/portio/port_library.h), built as every driver library is:
#   it exports portio_inb and portio_outb and the EXPORTS named besides (a library's
#   hooks for its tests), and it and its users see the port library header.
function(labbench_port_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;EXPORTS;LIBRARIES" ${ARGN})
  labbench_driver_library(${name} SOURCES ${ARG_SOURCES}
    EXPORTS ${LABBENCH_PORT_LIBRARY_EXPORTS} ${ARG_EXPORTS} LIBRARIES ${ARG_LIBRARIES})
  target_link_libraries(${name} PUBLIC port_library)
endfunction()

# labbench_test_precompiled_headers(TARGET): a test program of several sources that
#   operate panels spends most of each file's compile reading the same GoogleTest and
#   Qt headers; they are compiled once for TARGET, into a precompiled header each of
#   its sources starts with. (For a program of one source it would cost what it saves.)
#   Every source still includes what it uses, so -DCMAKE_DISABLE_PRECOMPILE_HEADERS=ON
#   builds without.
function(labbench_test_precompiled_headers target)
  target_precompile_headers(${target} PRIVATE
    <gtest/gtest.h> <QApplication> <QTest> <QWidget> <QLabel> <QLineEdit> <QPushButton>
    <QComboBox> <QDoubleSpinBox> <QChartView> <functional> <string> <vector>)
endfunction()
