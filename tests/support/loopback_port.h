// Loopback addresses for tests that need a server to be missing.
#pragma once

namespace quillmere::testing {

/// A port on 127.0.0.1 that nothing listens on (one the kernel just handed
/// out and took back): a connection to it is refused at once.
int unused_loopback_port();

}  // namespace quillmere::testing
