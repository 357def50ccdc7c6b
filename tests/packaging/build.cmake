# The systemd unit passes systemd-analyze with the built executable in place.
add_test(NAME packaging_systemd_unit
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/packaging/verify_unit.sh
                 ${PROJECT_SOURCE_DIR}/packaging/TAVO_WindowsServer.service
                 $<TARGET_FILE_DIR:TAVO_WServer>)
set_tests_properties(packaging_systemd_unit PROPERTIES PASS_REGULAR_EXPRESSION "unit verified")

# The polkit rule, run through a JavaScript engine with a stub polkit object.
find_program(TAVO_NODE NAMES nodejs node)
if(TAVO_NODE)
  add_test(NAME packaging_polkit_rule
           COMMAND ${TAVO_NODE} ${CMAKE_CURRENT_SOURCE_DIR}/packaging/polkit_rule_test.js
                   ${PROJECT_SOURCE_DIR}/packaging/50-tavo-restart.rules)
else()
  add_test(NAME packaging_polkit_rule COMMAND sh -c "echo 'nodejs is missing (make deps-test)'; exit 1")
endif()
set_tests_properties(packaging_polkit_rule PROPERTIES PASS_REGULAR_EXPRESSION "polkit rule verified")

# install-service.sh installs, upgrades and uninstalls in a scratch prefix.
add_test(NAME packaging_install_service
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/packaging/install_service_test.sh
                 ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
set_tests_properties(packaging_install_service PROPERTIES
  PASS_REGULAR_EXPRESSION "install, upgrade and uninstall verified"
  SKIP_REGULAR_EXPRESSION "^SKIP" TIMEOUT 300)

# The keepalived configuration of a standby pair passes keepalived's own check (skipped where
# keepalived is not installed).
add_test(NAME packaging_keepalived_config
         COMMAND sh ${PROJECT_SOURCE_DIR}/packaging/keepalived/check-config.sh
                 ${PROJECT_SOURCE_DIR}/packaging/keepalived/keepalived.conf)
set_tests_properties(packaging_keepalived_config PROPERTIES SKIP_RETURN_CODE 77
                     PASS_REGULAR_EXPRESSION "keepalived configuration verified")

# The shipped alert rules are valid for Prometheus.
add_test(NAME packaging_prometheus_rules
         COMMAND ${TAVO_PROMTOOL} check rules ${PROJECT_SOURCE_DIR}/packaging/prometheus/tavo-alerts.yml)
set_tests_properties(packaging_prometheus_rules PROPERTIES PASS_REGULAR_EXPRESSION "SUCCESS: 6 rules found")
