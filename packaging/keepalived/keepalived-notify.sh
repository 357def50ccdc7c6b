#!/bin/sh
# keepalived's notify script for a TAVO standby pair: it only writes the address's new state
# to the system log. The servers decide who serves; nothing here starts or stops them.
#   $1 INSTANCE or GROUP, $2 the instance's name, $3 MASTER, BACKUP, FAULT or STOP
logger -t tavo-keepalived "floating address of $2: $3"
