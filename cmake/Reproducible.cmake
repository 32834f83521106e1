# Reproducible release binaries (scripts/release.sh): the same source gives the same bytes
# wherever it is checked out and built. Paths of the source tree and of the pugixml sources
# are mapped out of the objects (__FILE__ in assertions, debug info), GCC's random seed is
# fixed, and on Windows the linker writes 0 in place of the PE header's link time and the
# symbols are stripped.
option(GRAVELIN_REPRODUCIBLE "Build release binaries that do not depend on paths or time" OFF)
if(GRAVELIN_REPRODUCIBLE)
  add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -frandom-seed=gravelin)
  if(GRAVELIN_PUGIXML_SOURCE)
    get_filename_component(pugixml_real ${GRAVELIN_PUGIXML_SOURCE} REALPATH)
    add_compile_options(-ffile-prefix-map=${GRAVELIN_PUGIXML_SOURCE}=pugixml
                        -ffile-prefix-map=${pugixml_real}=pugixml)
  endif()
  if(WIN32)
    add_link_options(-s -Wl,--no-insert-timestamp)
  endif()
endif()
