# Install layout and release archives.
#
# On Linux the program and its message catalogue lie side by side in a folder
# of their own, <prefix>/libexec/<link name>/, because the program reads the
# catalogue from the folder of its executable. <prefix>/bin/ holds a relative
# symbolic link to the program whose name (GREP_LINK_NAME, kgrep by default)
# leaves the system's own grep alone; the program resolves the link to find
# its real folder. The manual page is installed under the link's name.
#
# On Windows grep.exe, grep.kvb and the manual page rendered as text
# (grep.txt, with CR LF line ends) lie together in <prefix>/bin/.
#
# `cpack -G TGZ` packs the Linux layout, `cpack -G ZIP` the Windows one.
# tests/packaging/test_packaging.py installs, packs, unpacks and runs them.

include(GNUInstallDirs)

set(GREP_LINK_NAME kgrep CACHE STRING
    "Name of the command in bin/, a link to the program (Linux installs only)")
if(GREP_LINK_NAME STREQUAL "grep")
  message(WARNING "GREP_LINK_NAME grep hides the system's grep wherever its bin/ comes first in PATH")
endif()

find_program(GROFF groff)
set(MANUAL_SOURCE ${CMAKE_SOURCE_DIR}/docs/grep.1.in)
set(RENDER_MANUAL ${CMAKE_SOURCE_DIR}/cmake/render_manual.cmake)

if(WIN32)
  set(GREP_PROGRAM_DIR ${CMAKE_INSTALL_BINDIR})
  set(GREP_COMMAND grep)
  set(GREP_FILES_LAYOUT ".PP\ngrep.exe, grep.kvb and this page as grep.txt lie together in one folder.")
else()
  set(GREP_PROGRAM_DIR ${CMAKE_INSTALL_LIBEXECDIR}/${GREP_LINK_NAME})
  set(GREP_COMMAND ${GREP_LINK_NAME})
  set(GREP_FILES_LAYOUT ".PP\nInstalled, the program and the catalogue lie in\n.I ${GREP_PROGRAM_DIR}/\nunder the installation prefix, and\n.I ${CMAKE_INSTALL_BINDIR}/${GREP_LINK_NAME}\nis a symbolic link to the program.")
endif()

# The page names the command as it is installed.
string(TOUPPER ${GREP_COMMAND} GREP_PAGE_TITLE)
set(MANUAL_PAGE ${CMAKE_BINARY_DIR}/${GREP_COMMAND}.1)
configure_file(${MANUAL_SOURCE} ${MANUAL_PAGE} @ONLY)

install(TARGETS grep RUNTIME DESTINATION ${GREP_PROGRAM_DIR})
install(FILES ${CATALOGUE} DESTINATION ${GREP_PROGRAM_DIR})

if(WIN32)
  # A Windows machine has no man, so the archive carries the page as text,
  # rendered here with groff (Debian package groff-base).
  if(NOT GROFF)
    message(FATAL_ERROR "groff (Debian package groff-base) is needed to render the manual page")
  endif()
  set(MANUAL_TEXT ${CMAKE_BINARY_DIR}/grep.txt)
  add_custom_command(OUTPUT ${MANUAL_TEXT}
    COMMAND ${CMAKE_COMMAND} -DGROFF=${GROFF} -DINPUT=${MANUAL_PAGE} -DOUTPUT=${MANUAL_TEXT}
            -P ${RENDER_MANUAL}
    DEPENDS ${MANUAL_PAGE} ${RENDER_MANUAL}
    COMMENT "Rendering the manual page as text")
  add_custom_target(manual_text ALL DEPENDS ${MANUAL_TEXT})
  install(FILES ${MANUAL_TEXT} DESTINATION ${GREP_PROGRAM_DIR})
else()
  # The link is made in the build folder and installed as a link; being
  # relative, it stays right wherever the prefix is unpacked.
  file(RELATIVE_PATH LINK_TARGET ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_FULL_LIBEXECDIR}/${GREP_LINK_NAME}/grep)
  set(LINK_FILE ${CMAKE_BINARY_DIR}/packaging/${GREP_LINK_NAME})
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
  file(CREATE_LINK ${LINK_TARGET} ${LINK_FILE} SYMBOLIC)
  install(FILES ${LINK_FILE} DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${MANUAL_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME grep)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "A console text-search utility")
if(WIN32)
  set(PACKAGE_GENERATOR ZIP)
  set(PACKAGE_SYSTEM windows-${CMAKE_SYSTEM_PROCESSOR})
else()
  set(PACKAGE_GENERATOR TGZ)
  set(PACKAGE_SYSTEM linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
if(PROJECT_VERSION)
  set(PACKAGE_FILE_NAME grep-${PROJECT_VERSION}-${PACKAGE_SYSTEM})
else()
  set(PACKAGE_FILE_NAME grep-${PACKAGE_SYSTEM})
endif()
string(TOLOWER ${PACKAGE_FILE_NAME} PACKAGE_FILE_NAME)
# CPack leaves its source-package settings in these two variables, so they
# are set from copies of our own.
set(CPACK_PACKAGE_FILE_NAME ${PACKAGE_FILE_NAME})
set(CPACK_GENERATOR ${PACKAGE_GENERATOR})
include(CPack)

if(GREP_TESTS AND PYTHON3)
  set(PACKAGING_TEST ${CMAKE_SOURCE_DIR}/tests/packaging/test_packaging.py)
  set(PACKAGING_ARGUMENTS --build ${CMAKE_BINARY_DIR} --cmake ${CMAKE_COMMAND}
      --link-name ${GREP_LINK_NAME}
      --program-dir ${GREP_PROGRAM_DIR} --bin-dir ${CMAKE_INSTALL_BINDIR}
      --man-dir ${CMAKE_INSTALL_MANDIR})
  if(CMAKE_CROSSCOMPILING)
    list(APPEND PACKAGING_ARGUMENTS --runner ${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
  add_test(NAME release_archive
    COMMAND ${PYTHON3} ${PACKAGING_TEST} archive ${PACKAGING_ARGUMENTS}
            --cpack ${CMAKE_CPACK_COMMAND} --generator ${PACKAGE_GENERATOR}
            --file-name ${PACKAGE_FILE_NAME})
  # A few seconds natively; Wine's first start in a fresh prefix takes longer.
  set_tests_properties(release_archive PROPERTIES TIMEOUT 600)
  if(NOT WIN32)
    add_test(NAME install_layout
      COMMAND ${PYTHON3} ${PACKAGING_TEST} install ${PACKAGING_ARGUMENTS})
    # Both install this build folder, which notes what it installed in it.
    set_tests_properties(install_layout release_archive PROPERTIES RESOURCE_LOCK install)
    if(GROFF)
      add_test(NAME manual_page
        COMMAND ${PYTHON3} ${PACKAGING_TEST} manual ${PACKAGING_ARGUMENTS}
                --groff ${GROFF} --page ${MANUAL_PAGE} --program $<TARGET_FILE:grep>)
    endif()
  endif()
endif()
