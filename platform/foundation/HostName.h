#pragma once
// The one form of a host name that everything naming a server uses: the connection, the
// server-trust check, cookies, the URL cache and credentials all take a URL's host through
// canonicalHostName, so that the name a connection reaches is the name its certificate,
// cookies and cached answers are matched against.
//
// Thread-safe (pure functions).

#include <optional>
#include <string>
#include <string_view>

namespace plat {

// The canonical form of a host, given percent-decoded (UTF-8, an IPv6 address without its
// brackets):
// - A DNS name is mapped to its A-label form by UTS #46 (nontransitional, with the bidi and
//   joiner checks), as an internationalised name is looked up: "Bücher.example" ->
//   "xn--bcher-kva.example"; the full stops U+3002, U+FF0E and U+FF61 separate labels
//   ("a\u3002b.example" -> "a.b.example"). An ASCII name is only lower-cased. One trailing
//   dot is dropped ("Example.COM." -> "example.com").
// - An IPv4 address in any form the resolver takes ("127.1", "0x7f.0.0.1") becomes dotted
//   decimal; an IPv6 address its shortest text ("0:0::1" -> "::1"), a zone id ("%en0") of
//   unreserved characters kept as written.
// Returns std::nullopt for a host that cannot be mapped: empty, an empty label ("a..b",
// "."), a character UTS #46 disallows or that no host name holds (a space, '/', '@', '%',
// '*', NUL and the like; letters, digits, '-', '_' and '.' remain), or a label that fails
// the mapping's checks. Such a host names no server.
std::optional<std::string> canonicalHostName(std::string_view host);

// `url` with the host of its authority ("scheme://[user@]host[:port]...") replaced by its
// canonical form; the rest is left exactly as written. The host may be percent-encoded or
// raw UTF-8. A URL without an authority, or with an empty host ("file:///x"), comes back
// unchanged. std::nullopt when the host cannot be mapped (see canonicalHostName) or the
// authority holds more than one '@'.
std::optional<std::string> URLWithCanonicalHost(std::string_view url);

}  // namespace plat
