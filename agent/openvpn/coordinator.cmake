# The coordinator and the command line it builds: portable, tested over fakes.
target_sources(tovra_agent PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/openvpn_command_line.cpp
  ${CMAKE_CURRENT_LIST_DIR}/openvpn_coordinator.cpp)
tovra_add_test(openvpn_coordinator_tests SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/openvpn_coordinator_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/openvpn_command_line_test.cpp
  PROGRAM agent_openvpn_tests
  LIBS tovra_agent LABELS portable)
