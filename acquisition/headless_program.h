// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

struct StartOptions;

/// The logger without a window: the start values with `options` over them, START at once, and
/// every word the window would show as a journal line on standard error. SIGTERM, SIGINT and
/// SIGHUP end it as END does. A QCoreApplication must exist; no display is needed. Returns 0
/// after such an end, 1 when the port did not open at the start.
int runHeadless(const StartOptions& options);
