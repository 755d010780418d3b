# Finding the OpenVPN runtime and starting openvpn.exe through the Interactive
# Service.
target_sources(tovra_agent PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/interactive_service.cpp
  ${CMAKE_CURRENT_LIST_DIR}/openvpn_discovery.cpp)
tovra_add_test(openvpn_launch_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/interactive_service_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/openvpn_discovery_test.cpp
  PROGRAM agent_openvpn_tests
  LIBS tovra_agent LABELS portable)
tovra_add_fuzzer(fuzz_interactive_service_reply
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/interactive_service_reply_fuzz.cpp LIBS tovra_agent)

if(TOVRA_WINDOWS)
  enable_language(RC)
  target_sources(tovra_agent PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/interactive_service_client_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/openvpn_discovery_win.cpp)
  target_link_libraries(tovra_agent PUBLIC advapi32 version)
  # The test program carries a version resource (2.6.12.0) so it can stand in for
  # an openvpn.exe whose version is read back.
  tovra_add_test(openvpn_launch_win_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/interactive_service_client_win_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/openvpn_discovery_win_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/openvpn_discovery_win_test.rc
    PROGRAM agent_openvpn_tests
    LIBS tovra_agent tovra_test_support LABELS win32 TIMEOUT 120)
endif()
