# Windows resources of the launcher executable: the icon (made from assets/images/icon.png at build
# time) and the version information from KESTRIVANE_VERSION. Sets KESTRIVANE_WIN_RESOURCES.
enable_language(RC)
find_program(KESTRIVANE_MAGICK NAMES convert magick REQUIRED)

# "0.11" -> 0,11,0,0; the numeric fields take up to four dot-separated numbers.
string(REGEX MATCHALL "[0-9]+" _kv_version_numbers "${KESTRIVANE_VERSION}")
list(APPEND _kv_version_numbers 0 0 0 0)
list(SUBLIST _kv_version_numbers 0 4 _kv_version_numbers)
list(JOIN _kv_version_numbers "," KV_RC_VERSION_COMMAS)
set(KV_RC_VERSION "${KESTRIVANE_VERSION}")

set(KV_RC_ICON ${CMAKE_CURRENT_BINARY_DIR}/Kestrivane.ico)
add_custom_command(OUTPUT ${KV_RC_ICON}
    COMMAND ${KESTRIVANE_MAGICK} ${PROJECT_SOURCE_DIR}/assets/images/icon.png
            -background none -define icon:auto-resize=256,64,48,32,24,16 ${KV_RC_ICON}
    DEPENDS ${PROJECT_SOURCE_DIR}/assets/images/icon.png
    COMMENT "Making Kestrivane.ico"
    VERBATIM)

configure_file(${PROJECT_SOURCE_DIR}/packaging/kestrivane.rc.in ${CMAKE_CURRENT_BINARY_DIR}/kestrivane.rc @ONLY)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/kestrivane.rc PROPERTIES OBJECT_DEPENDS ${KV_RC_ICON})
set(KESTRIVANE_WIN_RESOURCES ${CMAKE_CURRENT_BINARY_DIR}/kestrivane.rc ${KV_RC_ICON})
