# Removes each file that the last install from the build folder BUILD put in
# place, as its install_manifest.txt lists it (DESTDIR included), and nothing
# else: folders stay, even when they are left empty.
set(manifest "${BUILD}/install_manifest.txt")
set(files)
if(EXISTS "${manifest}")
  file(STRINGS "${manifest}" files)
endif()
set(removed 0)
foreach(file IN LISTS files)
  if(EXISTS "${file}" OR IS_SYMLINK "${file}")
    message(STATUS "Removing ${file}")
    file(REMOVE "${file}")
    math(EXPR removed "${removed} + 1")
  endif()
endforeach()
if(removed EQUAL 0)
  message(STATUS "Nothing to uninstall: no file that ${manifest} lists is in place.")
endif()
