# The systemd unit passes systemd-analyze with the built executable in place.
add_test(NAME packaging_systemd_unit
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/packaging/verify_unit.sh
                 ${PROJECT_SOURCE_DIR}/packaging/TAVO_WindowsServer.service
                 $<TARGET_FILE_DIR:TAVO_WServer>)
set_tests_properties(packaging_systemd_unit PROPERTIES PASS_REGULAR_EXPRESSION "unit verified")

# The keepalived configuration of a standby pair passes keepalived's own check (skipped where
# keepalived is not installed).
add_test(NAME packaging_keepalived_config
         COMMAND sh ${PROJECT_SOURCE_DIR}/packaging/keepalived/check-config.sh
                 ${PROJECT_SOURCE_DIR}/packaging/keepalived/keepalived.conf)
set_tests_properties(packaging_keepalived_config PROPERTIES SKIP_RETURN_CODE 77
                     PASS_REGULAR_EXPRESSION "keepalived configuration verified")
