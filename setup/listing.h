// The listings for an enumeration's result: the "list" command and printer
// creation hand in what the spooler gave, tests hand in results of their own.
#pragma once

#include "setup/enumerate.h"

SpoolerList EnumerateDrivers();  // DRIVER_INFO_2W of the local machine's own environment
SpoolerList EnumeratePorts();    // PORT_INFO_1W

void PrintDriverListing(const SpoolerList& drivers);
void PrintPortListing(const SpoolerList& ports);
