# The LAN link under Wine against the simulator's LAN side on 127.0.0.1 (fixed ports 55557 and
# 55558: the cases take turns). Beside the simulator's FTD3XX.dll, which the test links for its
# control functions, so that the plug-in's loader finds that copy.
add_executable(lan_wine_test lan_wine_test.cpp)
target_link_libraries(lan_wine_test PRIVATE kmv_core KMV410Bridge GTest::gtest_main)
target_include_directories(lan_wine_test PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/sim)
set_target_properties(lan_wine_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/sim)
add_dependencies(lan_wine_test extio-host)
gtest_discover_tests(lan_wine_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES RESOURCE_LOCK kmv_lan_ports TIMEOUT 120)

# extio-host streams from the simulator's LAN side on 127.0.0.1: exit 0 and the requested blocks
# in its summary, over TCP and over UDP.
foreach(transport tcp udp)
  set(flags --sim lan --blocks 30)
  if(transport STREQUAL "udp")
    list(APPEND flags --udp)
  endif()
  add_test(NAME lan_extio_host_${transport}
           COMMAND sh -c "out=$(\"$@\") || exit 1; echo \"$out\"; echo \"$out\" | grep -q 'summary blocks=30 '"
                   sh ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:extio-host> ${flags})
  set_tests_properties(lan_extio_host_${transport} PROPERTIES RESOURCE_LOCK kmv_lan_ports TIMEOUT 120)
endforeach()
