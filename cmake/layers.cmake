# update_layer(name USES lower ... PLATFORM concern ...): the library
# update_<name> from the layer's folder, linked to the layers it may use and
# to the platform concerns (serial, clock, console, net, error) it calls.
#
# The serial device and the clock are the fakes in a target whose property
# UPDATE_FAKES is true (unit tests that run the serial logic without real
# sleeps or hardware), the TCP primitives in one whose UPDATE_FAKE_NET is
# true (the fuzz targets); the real backend everywhere else.
#
# A layer compiles against an include root of its own that holds only
# itself, the layers below it and platform/, so a header from a layer above
# (or beside) is not found: a wrong-way include fails at compile time, not
# in review. The roots are links into the source tree under the build tree.
function(update_layer name)
  cmake_parse_arguments(L "" "" "USES;PLATFORM" ${ARGN})
  set(allowed ${name} platform)
  foreach(lower ${L_USES})
    get_property(below GLOBAL PROPERTY update_layer_${lower})
    list(APPEND allowed ${below})
  endforeach()
  list(REMOVE_DUPLICATES allowed)
  set_property(GLOBAL PROPERTY update_layer_${name} ${allowed})

  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  set(linked TRUE)
  foreach(dir ${allowed})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${dir} ${root}/${dir} RESULT made SYMBOLIC)
    if(NOT made EQUAL 0)
      set(linked FALSE)
    endif()
  endforeach()
  if(NOT linked)
    # A file system without links: build all the same, unchecked.
    message(WARNING "update_layer(${name}): no links, include direction not enforced")
    set(root ${CMAKE_SOURCE_DIR})
  endif()

  file(GLOB src CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${name}/*.cc)
  list(FILTER src EXCLUDE REGEX "(_test|/main)\\.cc$")
  add_library(update_${name} STATIC ${src})
  target_include_directories(update_${name} PRIVATE ${root})
  foreach(lower ${L_USES})
    target_link_libraries(update_${name} PUBLIC update_${lower})
  endforeach()
  foreach(concern ${L_PLATFORM})
    if(concern STREQUAL "serial" OR concern STREQUAL "clock")
      target_link_libraries(update_${name} PUBLIC
        "$<IF:$<BOOL:$<TARGET_PROPERTY:UPDATE_FAKES>>,fake_${concern},plat_${concern}>")
    elseif(concern STREQUAL "net")
      # Its own switch: most net tests talk over real local sockets.
      target_link_libraries(update_${name} PUBLIC
        "$<IF:$<BOOL:$<TARGET_PROPERTY:UPDATE_FAKE_NET>>,fake_net,plat_net>")
    else()
      target_link_libraries(update_${name} PUBLIC plat_${concern})
    endif()
  endforeach()
endfunction()

# update_layer_tests(name [FAKES]): the layer's foo_test.cc files as one
# unit test binary; with FAKES against the fake serial device and clock.
function(update_layer_tests name)
  cmake_parse_arguments(T "FAKES" "" "" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${name}/*_test.cc)
  if(UPDATE_TESTS AND tests)
    update_unit_test(${name}_tests SOURCES ${tests} LIBS update_${name})
    if(T_FAKES)
      set_target_properties(${name}_tests PROPERTIES UPDATE_FAKES ON)
    endif()
  endif()
endfunction()
