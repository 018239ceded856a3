#pragma once

// kv-publish's --help text.
namespace PublishUsage {
extern const char *const text;
}
