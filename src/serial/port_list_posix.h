// Port listing over a sysfs tree and a /dev tree; ListPorts() reads the
// machine's own (/sys, /dev), tests point it at a fake one.
#ifndef DTU_SERIAL_PORT_LIST_POSIX_H
#define DTU_SERIAL_PORT_LIST_POSIX_H

#include <string>
#include <vector>

#include "serial/port_list.h"

std::vector<PortInfo> ListPortsUnder(const std::string& sysRoot, const std::string& devRoot);

#endif
