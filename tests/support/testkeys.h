#pragma once

// Two password-less minisign key pairs for tests only (made with `minisign -G -W`): "release" plays
// the publisher, "other" someone else. Never use them for anything real.
namespace TestKeys {

constexpr const char *ReleasePublic = "RWQhCazoB9pMX87H+rxwdBhCbvY++c8v18325qUvgAVTX+E02ZRkysnE";
constexpr const char *ReleaseSecretFile = "untrusted comment: minisign encrypted secret key\n"
                                          "RWQAAEIyAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
                                          "AAAAAAIQms6AfaTF9O4Dt6rxCJj+/Xu6D+VserjeHe"
                                          "7PVVCxckyY8CDUELyc7H+rxwdBhCbvY++c8v18325qUvgAVTX+"
                                          "E02ZRkysnEAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n";

constexpr const char *OtherPublic = "RWQYvKSdqhyLqm/vNgV32iz4h9YvR4ot3dGSnlCR8zLrxVmnST9zrrYo";
constexpr const char *OtherSecretFile =
    "untrusted comment: minisign encrypted secret key\n"
    "RWQAAEIyAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAGLyknaoci6r66PsCv7L7WKgOSxwkSNiq"
    "rPW4"
    "g1Vdg8nzR2MZNipHSm/"
    "vNgV32iz4h9YvR4ot3dGSnlCR8zLrxVmnST9zrrYoAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n";

} // namespace TestKeys
