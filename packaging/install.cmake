# One program directory: the executable, the systemd unit, a data-link file for the embedded
# SQLite database, and the README.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/TAVO_WindowsServer.service
              ${CMAKE_CURRENT_SOURCE_DIR}/packaging/50-tavo-restart.rules
              ${CMAKE_CURRENT_SOURCE_DIR}/packaging/TAVO_WServer.logrotate
        DESTINATION .)
# A script keeps its execute bit only as a program.
install(PROGRAMS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/install-service.sh DESTINATION .)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION .)
# Alert rules for the clinic's Prometheus.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/prometheus/tavo-alerts.yml DESTINATION prometheus)
# The default data-link file is UTF-16LE with a byte-order mark, as data-link files are;
# an existing one (pointing at another database) is kept.
install(CODE "
  set(_udl \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/TAVO.udl\")
  if(NOT EXISTS \"\${_udl}\")
    execute_process(COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/packaging/make_udl.py
                            \"\${_udl}\" \"Provider=SQLite;Data Source=TAVO.sqlite\"
                    RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR \"could not write \${_udl}\")
    endif()
  endif()
")
