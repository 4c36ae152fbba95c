// The network probes that confirm a device guessed to be a D-Link DSM320 or
// a Noxon radio: a page of its own that only such a device serves.
#pragma once

// True when the address is listed in "dlinkclient", or its page on port
// 59089 names DLink as the manufacturer.
bool client_probe_dlink(const char* address);

// True when the address is listed in "noxonclient", or its description.xml
// mentions TerraTec.
bool client_probe_noxon(const char* address);

// Installs both probes in the client table.
void client_probes_install();
