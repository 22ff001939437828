# Run by `cmake --install` before any file is installed: appends to `record`
# each folder below the install root, for `folders` (relative to the prefix),
# that is not there yet. The uninstall target removes those once empty and
# leaves every folder that was there before. Installs into the build tree, as
# cpack makes, are not noted.
get_filename_component(build "${record}" DIRECTORY)
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
if(NOT root MATCHES "^${build}/")
  foreach(folder IN LISTS folders)
    set(path "${root}/${folder}")
    while(NOT EXISTS "${path}" AND NOT path STREQUAL "/")
      file(APPEND "${record}" "${path}\n")
      get_filename_component(path "${path}" DIRECTORY)
    endwhile()
  endforeach()
endif()
