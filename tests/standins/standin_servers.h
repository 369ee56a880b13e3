// Stand-in GitLab and Teams servers for tests and the sandbox.
#pragma once
