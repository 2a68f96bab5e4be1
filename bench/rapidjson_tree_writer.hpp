// The calculated tree written with RapidJSON's Writer into a StringBuffer:
// the same objects, members and order as the library's own JSON encoder, so
// that the two writers can be timed against each other on the same tree.
//
// Numbers go through Writer::Double (its own shortest-digit form, which may
// use an exponent), NaN and infinities as null like ours; the documents are
// therefore equal as JSON values, not byte for byte.
#pragma once

#include <string>

#include "tree.hpp"

namespace mirelo::bench {

// The document of `root` as RapidJSON writes it. `write_seconds` receives
// the time of the walk into RapidJSON's own buffer (the writer's work); the
// copy into the returned text is left out of it, which favours RapidJSON.
std::string rapidjson_encode(const RootNode& root, double& write_seconds);

// True when both texts parse and hold equal JSON values (numbers compared
// as values, object members by name). `detail` receives the reason otherwise.
bool same_json_value(const std::string& a, const std::string& b, std::string& detail);

}  // namespace mirelo::bench
