// Hiding the secrets of URLs in what a service logs: the URL itself, texts
// that quote it (an error message) and a caught exception with its whole
// chain. Every secret is shown as "***".
//
// Secrets of a URL (`SecretMask::add_url`):
// - the password of the user information. The URL is read the way URL
//   parsers read it: an optional "scheme://", then the authority up to the
//   first "/", "?" or "#", whose user information ends at its last "@"; the
//   password is what follows the first ":" of the user information. A
//   password holding an unencoded "/", "?" or "#" breaks that reading, so
//   when the authority has no "@" but the URL has one later, with a ":"
//   before it, everything up to the URL's last "@" counts as user information;
// - the value of every "password", "key" and "token" parameter (the name in
//   any case, after a "?" or "&", the value up to the next "&" or "#");
// - the pieces of each secret between "/", "?", "#", "&", "@" and ":" that
//   are at least three characters long: a parser that stops at such a
//   character shows them in its messages (as a port, say).
//
// In a text (`SecretMask::hide`), each secret learnt from a URL is hidden in
// any form a library may print it: as given, percent-decoded, or
// percent-encoded in either hex case (requests quotes non-ASCII characters,
// aiohttp also decodes "%2F" and the like), compared character by character
// after decoding. Besides, whatever the URLs learnt, a text loses the value of
// any "password", "key" or "token" parameter it shows and the password of
// any "scheme://user:password@" in it (a redirect, say, may quote a URL the
// caller never gave); there a value ends at white space, a quote, "<", ">",
// "&" or "#".
//
// An exception (`SecretMask::hide_in`) is shown as a copy wherever its chain
// (its causes and contexts, followed recursively, each exception once) holds
// a secret in the text a traceback prints, str() of each exception, or in a
// note; the originals are never changed.
#pragma once

#include "binding/error.hpp"

#include <string>
#include <vector>

namespace service {
using namespace binding;

class SecretMask {
public:
    // Learn the secrets of `url` (str() of it); returns the URL with each shown as "***".
    Ref add_url(Handle url);
    // `text` (a str) with every secret hidden; the same object when nothing is hidden.
    Ref hide(Handle text) const;
    // The exception to show in place of `error` (logged while it is the
    // handled exception): `error` itself when nothing in its chain holds a
    // secret, else a copy of the chain in which each exception that holds a
    // secret, or leads to one that does, is replaced by a copy: same type,
    // with the hidden text as its only argument and its str attributes
    // hidden, or, when such a copy cannot be made or still shows a secret
    // (its str() is not built from its arguments), an instance of the
    // nearest built-in exception class of its type with "module.Type: text"
    // as its text. The copies keep the originals' tracebacks, notes (hidden),
    // and __cause__/__context__/__suppress_context__ links (to copies where
    // the originals link to replaced exceptions).
    PyError hide_in(const PyError& error) const;

private:
    std::vector<std::u32string> secrets_;  // percent-decoded, longest first
};

}  // namespace service
