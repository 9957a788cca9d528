// SPDX-License-Identifier: Apache-2.0
// Whether this machine can make a sandbox, asked of mpio-sandbox itself.
#ifndef TESTS_SUPPORT_SANDBOX_PROBE_H
#define TESTS_SUPPORT_SANDBOX_PROBE_H

#include <string>

namespace mpiotest {

// The launcher's own message when it cannot make a sandbox of `topology` here
// (no root, no mount or PID namespace, no /dev/loop-control); empty when it
// can. Found once per topology by running `true` in one. Any other failure
// is no reason to skip: the tests that need the sandbox then report it.
const std::string& whyNoSandbox(const std::string& launcher, const std::string& topology);

} // namespace mpiotest

#endif // TESTS_SUPPORT_SANDBOX_PROBE_H
