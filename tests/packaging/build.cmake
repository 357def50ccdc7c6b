# The systemd unit passes systemd-analyze with the built executable in place.
add_test(NAME packaging_systemd_unit
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/packaging/verify_unit.sh
                 ${PROJECT_SOURCE_DIR}/packaging/TAVO_WindowsServer.service
                 $<TARGET_FILE_DIR:TAVO_WServer>)
set_tests_properties(packaging_systemd_unit PROPERTIES PASS_REGULAR_EXPRESSION "unit verified")

# The shipped alert rules are valid for Prometheus.
add_test(NAME packaging_prometheus_rules
         COMMAND ${TAVO_PROMTOOL} check rules ${PROJECT_SOURCE_DIR}/packaging/prometheus/tavo-alerts.yml)
set_tests_properties(packaging_prometheus_rules PROPERTIES PASS_REGULAR_EXPRESSION "SUCCESS: 6 rules found")
