# Read by cpack before it packs: dates every file in the package, and the
# package itself, from SOURCE_DATE_EPOCH, so that two builds of one commit
# give byte-identical packages. A date given in the environment wins; then
# the date of the last commit, in a git checkout; outside git, the date of the
# first release, 2026-12-08 12:00:00 UTC.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch 1796731200)
  if(EXISTS "${CPACK_NODALWRANGLER_SOURCE_DIR}/.git")
    execute_process(COMMAND git -C "${CPACK_NODALWRANGLER_SOURCE_DIR}" log -1 --format=%ct
      OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(commit MATCHES "^[0-9]+$")
      set(epoch ${commit})
    endif()
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
