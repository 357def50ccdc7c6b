#!/usr/bin/env python3
"""Reads a /metrics body on stdin with prometheus_client's parser and prints every sample as
name{label="value",...} value, labels sorted. Fails on a body the parser refuses and on a
family without HELP or TYPE."""
import sys

from prometheus_client.parser import text_string_to_metric_families

for family in text_string_to_metric_families(sys.stdin.read()):
    if family.type == "unknown":
        sys.exit("no TYPE for " + family.name)
    if not family.documentation:
        sys.exit("no HELP for " + family.name)
    for sample in family.samples:
        labels = ",".join(f'{k}="{v}"' for k, v in sorted(sample.labels.items()))
        print(f"{sample.name}{{{labels}}} {sample.value:g}")
