# SPDX-License-Identifier: GPL-3.0-or-later
# Helpers shared by the program folders.

# labbench_program(NAME SOURCES ... PANEL file.uir)
#   Builds the program module once, as an object library NAME_module, and from it:
#   - the executable NAME, with its panel file copied beside it (where LoadPanel looks first);
#   - a static library NAME_testable for the tests, the same object with `main` renamed
#     to `NAME_main`, so a test can run the program's entry in its own process.
function(labbench_program name)
  cmake_parse_arguments(ARG "" "PANEL" "SOURCES" ${ARGN})
  add_library(${name}_module OBJECT ${ARG_SOURCES})
  # Programs include no Qt header; without this, AUTOMOC adds a second object
  # that the objcopy step below cannot take.
  set_target_properties(${name}_module PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
  target_link_libraries(${name}_module PUBLIC userint gpib portio)
  target_include_directories(${name}_module PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})

  add_executable(${name} $<TARGET_OBJECTS:${name}_module>)
  target_link_libraries(${name} PRIVATE ${name}_module)

  set(panel_src ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_PANEL})
  set(panel_out ${CMAKE_CURRENT_BINARY_DIR}/${ARG_PANEL})
  add_custom_command(OUTPUT ${panel_out}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${panel_src} ${panel_out}
    DEPENDS ${panel_src} COMMENT "Panel file ${ARG_PANEL}")
  add_custom_target(${name}_panel DEPENDS ${panel_out})
  add_dependencies(${name} ${name}_panel)
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

# labbench_copy_panel(TARGET panel-file): puts a panel file beside a test executable.
function(labbench_copy_panel target panel)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${panel} $<TARGET_FILE_DIR:${target}>)
endfunction()
