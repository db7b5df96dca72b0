# Running the x64 test executables here: every Windows program goes through Wine with a
# private prefix inside the build tree, so nothing outside it is touched.
set(SCAN_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
find_program(SCAN_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(SCAN_WINE NAMES wine64 wine)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
