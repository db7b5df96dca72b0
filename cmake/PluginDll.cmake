# scan_plugin_output(target name): a plug-in DLL named name.dll in bin/plugins, where the tests
# and benchmarks look for it. A DLL is a runtime output on Windows; its import library is not
# wanted anywhere.
function(scan_plugin_output target name)
    set_target_properties(${target} PROPERTIES
        PREFIX ""
        OUTPUT_NAME ${name}
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/plugins
        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/plugins
        ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()
