# The OpenVPN management client: the portable line protocol (classifier,
# commands, peer-owner decision) and the Winsock client over it.
target_sources(tovra_agent PRIVATE ${CMAKE_CURRENT_LIST_DIR}/management_protocol.cpp)
tovra_add_test(openvpn_management_protocol_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/management_protocol_test.cpp
  PROGRAM agent_openvpn_tests
  LIBS tovra_agent LABELS portable)
tovra_add_fuzzer(fuzz_management_line
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/management_line_fuzz.cpp LIBS tovra_agent)

if(TOVRA_WINDOWS)
  target_sources(tovra_agent PRIVATE ${CMAKE_CURRENT_LIST_DIR}/management_client_win.cpp)
  target_link_libraries(tovra_agent PUBLIC ws2_32 iphlpapi)
  tovra_add_test(openvpn_management_client_win_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/management_client_win_test.cpp
    PROGRAM agent_openvpn_tests
    LIBS tovra_agent tovra_test_support LABELS win32 TIMEOUT 120)
endif()
