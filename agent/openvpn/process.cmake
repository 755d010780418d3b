# The openvpn.exe process control and the Agent's OpenVPN environment.
target_sources(tovra_agent PRIVATE ${CMAKE_CURRENT_LIST_DIR}/openvpn_process_rules.cpp)
tovra_add_test(openvpn_process_rules_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/openvpn_process_rules_test.cpp
  PROGRAM agent_openvpn_tests
  LIBS tovra_agent LABELS portable)

if(TOVRA_WINDOWS)
  target_sources(tovra_agent PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/openvpn_process_win.cpp
    ${CMAKE_CURRENT_LIST_DIR}/openvpn_environment_win.cpp)
  target_link_libraries(tovra_agent PUBLIC ws2_32 bcrypt advapi32 shell32 ole32 uuid)

  # A stand-in for a started openvpn.exe: named openvpn.exe in a folder of its
  # own, so the image check sees the name the real one has.
  set(exit_event_child_dir ${CMAKE_CURRENT_BINARY_DIR}/exit-event-child)
  add_executable(openvpn_exit_event_child
    ${CMAKE_CURRENT_LIST_DIR}/testing/openvpn_exit_event_child_win.cpp)
  target_link_options(openvpn_exit_event_child PRIVATE -municode)
  set_target_properties(openvpn_exit_event_child PROPERTIES
    OUTPUT_NAME openvpn RUNTIME_OUTPUT_DIRECTORY ${exit_event_child_dir})

  tovra_add_test(openvpn_process_win_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/openvpn_process_win_test.cpp
    PROGRAM agent_openvpn_tests
    LIBS tovra_agent tovra_test_support LABELS win32)
  add_dependencies(agent_openvpn_tests openvpn_exit_event_child)
  set_tests_properties(openvpn_process_win_tests PROPERTIES
    ENVIRONMENT "TOVRA_EXIT_EVENT_CHILD=${exit_event_child_dir}/openvpn.exe")

  tovra_add_test(openvpn_environment_win_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/openvpn_environment_win_test.cpp
    PROGRAM agent_openvpn_tests
    LIBS tovra_agent tovra_test_support LABELS win32)
  # Linux symbolic links to folders (reparse points as Wine sees them): a
  # linked level of the staging chain, and a linked leftover in a swept folder.
  set(links_dir ${CMAKE_BINARY_DIR}/openvpn-environment-links)
  add_test(NAME openvpn_environment_links_setup COMMAND sh -c
    "rm -rf '${links_dir}' && mkdir -p '${links_dir}/linked-base' '${links_dir}/zerka-target' '${links_dir}/sweep' '${links_dir}/link-target' && ln -s ../zerka-target '${links_dir}/linked-base/Zerka' && ln -s ../link-target '${links_dir}/sweep/ovpn-link.conf' && printf kept > '${links_dir}/link-target/ovpn-inside.conf'")
  set_tests_properties(openvpn_environment_links_setup PROPERTIES
    FIXTURES_SETUP openvpn_environment_links)
  set_tests_properties(openvpn_environment_win_tests PROPERTIES
    FIXTURES_REQUIRED openvpn_environment_links
    ENVIRONMENT "TOVRA_OVPN_LINKS=${links_dir}")
endif()
