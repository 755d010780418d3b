# The openvpn.exe process control and the Agent's OpenVPN environment.
target_sources(tovra_agent PRIVATE ${CMAKE_CURRENT_LIST_DIR}/openvpn_process_rules.cpp)
tovra_add_test(openvpn_process_rules_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/openvpn_process_rules_test.cpp
  LIBS tovra_agent LABELS portable)
