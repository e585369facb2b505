#!/bin/sh
# Prints the identifier of this camera, which korvacore hands to its plugins and from which the
# key of encrypted plugin data is derived. This sample derives it from the machine identifier;
# a camera maker replaces it with the serial number of the device.
if [ -r /etc/machine-id ]; then
  printf 'cam-%s\n' "$(cat /etc/machine-id)"
fi
