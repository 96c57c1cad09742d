#!/bin/sh
# The example application: greets from the host it was installed on.
echo "Hello from $(hostname), installed $(date -u '+%Y-%m-%d %H:%M:%S') UTC"
