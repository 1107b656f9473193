# Install rules and the packages (make package): a Debian package of the
# Linux build; a zip and an installer (NSIS) of the Windows cross build.
#
# The version is the program's own: the revision text in frontend/driver.cc,
# read the way the version output reads it (3.6.2.25 gives 3.6-25).
include(GNUInstallDirs)

file(STRINGS ${CMAKE_SOURCE_DIR}/frontend/driver.cc revision_line REGEX "kRevisionText\\[\\] =")
string(REGEX MATCH "[0-9]+(\\.[0-9]+)*" revision_numbers "${revision_line}")
string(REPLACE "." ";" revision_numbers "${revision_numbers}")
list(LENGTH revision_numbers revision_count)
if(revision_count GREATER_EQUAL 4)
  list(GET revision_numbers 0 v_major)
  list(GET revision_numbers 1 v_minor)
  list(GET revision_numbers 3 v_build)
elseif(revision_count EQUAL 2)
  list(GET revision_numbers 0 v_major)
  list(GET revision_numbers 1 v_minor)
  set(v_build 0)
else()
  message(FATAL_ERROR "no revision text in frontend/driver.cc")
endif()
set(UPDATE_VERSION "${v_major}.${v_minor}-${v_build}")

set(doc_dir ${CMAKE_SOURCE_DIR}/docs)
set(man_pages update update-boxsim update-netsim update-padtool update-station)

if(WIN32)
  # The zip: update.exe, the README and the manual page as text, together.
  install(TARGETS update update-station RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
  find_program(GROFF groff)
  if(GROFF)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/update.txt
      COMMAND ${GROFF} -man -Tascii -P-cbou ${doc_dir}/update.1 > ${CMAKE_BINARY_DIR}/update.txt
      DEPENDS ${doc_dir}/update.1 VERBATIM)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/update-station.txt
      COMMAND ${GROFF} -man -Tascii -P-cbou ${doc_dir}/update-station.1
              > ${CMAKE_BINARY_DIR}/update-station.txt
      DEPENDS ${doc_dir}/update-station.1 VERBATIM)
    add_custom_target(manual_text ALL DEPENDS ${CMAKE_BINARY_DIR}/update.txt
                      ${CMAKE_BINARY_DIR}/update-station.txt)
    install(FILES ${CMAKE_BINARY_DIR}/update.txt ${CMAKE_BINARY_DIR}/update-station.txt
            DESTINATION .)
  else()
    message(WARNING "groff not found: the zip gets no manual text")
  endif()
  set(CPACK_GENERATOR ZIP NSIS)
  set(CPACK_PACKAGE_FILE_NAME update-${UPDATE_VERSION}-win64)
  # The installer: the same files into Program Files, a Start menu folder
  # and an uninstaller (which CPack's template always writes).
  set(CPACK_NSIS_PACKAGE_NAME "update ${UPDATE_VERSION}")
  set(CPACK_NSIS_DISPLAY_NAME "update ${UPDATE_VERSION}")
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_NSIS_MENU_LINKS README.md "README" update.txt "update manual"
      update-station.txt "update-station manual")
  set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
  # A 64-bit installer for 64-bit programs: it runs where they run, Wine's
  # 64-bit loader alone included.
  set(CPACK_NSIS_DEFINES "Target amd64-unicode")
  # The installer is named apart from the zip.
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpack-options.cmake)
  file(WRITE ${CMAKE_BINARY_DIR}/cpack-options.cmake
       "if(CPACK_GENERATOR STREQUAL \"NSIS\")\n"
       "  set(CPACK_PACKAGE_FILE_NAME update-${UPDATE_VERSION}-win64-setup)\n"
       "endif()\n")
else()
  install(TARGETS update update-station RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The companions get the tool's name in front: "boxsim" alone says
  # nothing in /usr/bin.
  foreach(tool boxsim netsim padtool)
    if(TARGET ${tool})
      install(PROGRAMS $<TARGET_FILE:${tool}> DESTINATION ${CMAKE_INSTALL_BINDIR}
              RENAME update-${tool})
      install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
          execute_process(COMMAND ${CMAKE_STRIP} --strip-unneeded
            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/update-${tool}\")
        endif()")
    endif()
  endforeach()

  # Manual pages and the package's changelog go in compressed, without
  # time stamps, as Debian wants them.
  set(gz_files)
  foreach(page ${man_pages})
    set(gz ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
    add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND gzip -9n -c ${doc_dir}/${page}.1 > ${gz}
      DEPENDS ${doc_dir}/${page}.1 VERBATIM)
    list(APPEND gz_files ${gz})
    install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  set(changelog ${CMAKE_BINARY_DIR}/changelog.Debian)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/changelog.Debian.in ${changelog} @ONLY)
  add_custom_command(OUTPUT ${changelog}.gz
    COMMAND gzip -9n -c ${changelog} > ${changelog}.gz
    DEPENDS ${changelog} VERBATIM)
  add_custom_target(package_docs ALL DEPENDS ${gz_files} ${changelog}.gz)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${doc_dir}/copyright ${changelog}.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # A line's monitoring (Prometheus with its alert rules and Alertmanager)
  # as examples, the screenshots the README shows, the benchmarks.
  install(FILES ${doc_dir}/prometheus.yml ${doc_dir}/alerts.yml ${doc_dir}/report.png
                ${doc_dir}/station-web.png ${doc_dir}/line-web.png
                ${doc_dir}/benchmarks.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_VERSION ${v_major}.${v_minor})
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${v_build})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "QLN box software <software@qln.invalid>")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
  set(CPACK_STRIP_FILES ON)
endif()

set(CPACK_PACKAGE_NAME update)
set(CPACK_PACKAGE_VENDOR QLN)
set(CPACK_PACKAGE_VERSION ${UPDATE_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "software loader for set-top boxes")
set(CPACK_PACKAGE_DESCRIPTION
    "Loads new software (PAD files) into digital set-top boxes over a serial\nline (XMODEM) or TCP, one box at a time or a production line in loop\nmode, with a machine-readable journal of every box, and update-report for\na line's yield, pace and causes from the journals of all its stations.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY update)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)
