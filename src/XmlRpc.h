// The whole client stack in one include: values, the client and the logging
// controls (setVerbosity, replaceable log and error handlers).
#ifndef CORVANE_XMLRPC_H
#define CORVANE_XMLRPC_H

#include "XmlRpcClient.h"
#include "XmlRpcException.h"
#include "XmlRpcUtil.h"
#include "XmlRpcValue.h"

#endif
