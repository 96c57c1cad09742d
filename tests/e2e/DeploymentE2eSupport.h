#pragma once
// The daemon on a cluster of given hosts, for the deployment tests.

#include "e2e/E2eSupport.h"
#include "tools/harness/DeploymentCluster.h"
