# How the program is embedded in each platform: the Windows manifest, the Linux man page and
# desktop entry, and the Debian package.

# Windows: a console program people drop files on, running with the dropper's own rights and the
# UTF-8 code page, with an icon and a version; the test build is embedded the same way.
foreach(program ostrelle ostrelle_testable)
  if(MSVC)
    target_sources(${program} PRIVATE packaging/ostrelle.manifest)
  elseif(MINGW)
    target_sources(${program} PRIVATE packaging/ostrelle.rc)
    # Leaves DevIL.dll as the only DLL to ship beside the executable.
    target_link_options(${program} PRIVATE -static-libgcc -static-libstdc++)
  endif()
endforeach()
if(MINGW)
  # The version resource takes the project's version from a header made here.
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/ostrelle-version.h CONTENT
       "#define OSTRELLE_VERSION_TEXT \"@PROJECT_VERSION@\"
#define OSTRELLE_VERSION_NUMBERS @PROJECT_VERSION_MAJOR@,@PROJECT_VERSION_MINOR@,@PROJECT_VERSION_PATCH@,0
" @ONLY)
  set_source_files_properties(
    packaging/ostrelle.rc PROPERTIES INCLUDE_DIRECTORIES
                                     "${PROJECT_SOURCE_DIR}/packaging;${PROJECT_BINARY_DIR}")
endif()

if(UNIX AND NOT APPLE)
  # Debian keeps manual pages and changelogs compressed, without a name or time stamp inside, so
  # that the same sources give the same package.
  find_program(OSTRELLE_GZIP gzip REQUIRED)
  set(OSTRELLE_GZIPPED)
  foreach(doc ostrelle.1 changelog)
    add_custom_command(
      OUTPUT ${PROJECT_BINARY_DIR}/${doc}.gz
      COMMAND ${OSTRELLE_GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/${doc} > ${PROJECT_BINARY_DIR}/${doc}.gz
      DEPENDS packaging/${doc})
    list(APPEND OSTRELLE_GZIPPED ${PROJECT_BINARY_DIR}/${doc}.gz)
  endforeach()
  add_custom_target(ostrelle_docs ALL DEPENDS ${OSTRELLE_GZIPPED})

  install(FILES ${PROJECT_BINARY_DIR}/ostrelle.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES packaging/ostrelle.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES packaging/copyright ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME ostrelle)
  set(CPACK_PACKAGE_CONTACT "Quorvane <ostrelle@quorvane.example>")
  set(CPACK_PACKAGE_VENDOR Quorvane)
  string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
         "Ostrelle converts the image files named on its command line, or dropped on"
         "its launcher, into TGA files beside them, through the DevIL image library."
         "Each file is converted in a process of its own, so a broken file is reported"
         "and the run goes on with the next.")
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://ostrelle.quorvane.example")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
endif()
