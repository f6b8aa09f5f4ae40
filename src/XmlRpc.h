// The whole client stack in one include: values, the client, the logging
// controls (setVerbosity, replaceable log and error handlers) and the version
// macros CORVANE_VERSION_MAJOR, _MINOR and _PATCH.
#ifndef CORVANE_XMLRPC_H
#define CORVANE_XMLRPC_H

#include "XmlRpcClient.h"
#include "XmlRpcException.h"
#include "XmlRpcUtil.h"
#include "XmlRpcValue.h"
#include "XmlRpcVersion.h"

#endif
