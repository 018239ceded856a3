#include "tools/publish/publishusage.h"

const char *const PublishUsage::text =
    R"(Usage: kv-publish --cdn DIR --release DIR [options] [name=version ...]
       kv-publish --cdn DIR --release DIR --preload [options] [name=version ...]
       kv-publish --cdn DIR --withdraw-preload [--version-file NAME]
       kv-publish --cdn DIR --renew --sign-key FILE [--sign-key FILE ...] [--valid-for DAYS]
                  [--revoke-key PUBLIC_KEY_FILE ...]
       kv-publish --prune DAYS --upload REMOTE [--upload REMOTE ...] [--sign-key FILE ...]

Copies each named file of the release folder into the CDN folder as "v<version>_<name>", then rewrites
the version file in the CDN folder with one "name:version:md5:size" line per file, sorted by name.
A file that is not a zip archive and has at least 4 MiB also gets its block map beside it,
"v<version>_<name>.blockmap" (rdiff's signature format), and the map's BLAKE2b-256 digest as a fifth
field of its line, so launchers holding an older copy fetch only the blocks they lack. A zip archive
("*.zip") gets its entry index instead, "v<version>_<name>.zipindex" (each entry's place in the archive
and the BLAKE2b-256 of what it unpacks to), and the index's digest as the fifth field; an archive that cannot be indexed
(not a zip archive, an encrypted entry, one neither stored nor deflated) is published without one, with
a warning.
Entries of the existing version file that are not published again are kept, and so are earlier
releases' files. Every new file is first written completely under a hidden name (".kv-publish-<name>");
only then do they take their names: the release files, the signature, and the version file last.

Options:
  --cdn DIR             CDN folder (created if missing)
  --release DIR         folder holding the files to publish
  --manifest FILE       read more "name=version" lines from FILE ('#' starts a comment line)
  --version-file NAME   name of the version file (default version3.txt)
  --replace             allow replacing an already published "v<version>_<name>" whose content differs
  --sign-key FILE       sign the version file with this minisign secret key (default: $KV_PUBLISH_SIGN_KEY);
                        a password-protected key takes its password from $KV_PUBLISH_KEY_PASSWORD. Give
                        it again for more keys: the first key's signature is "<version file>.minisig",
                        the others' "<version file>.<key id>.minisig" (16 hexadecimal digits)
  --valid-for DAYS      the release is valid for DAYS days (1 to 3650) from its release time: launchers
                        take nothing from it later (with one day's slack for their clocks) and ask again
  --revoke-key FILE     publish the revocation of the key of this minisign public key file in
                        "<version file>.revoked", signed by that key (give its secret key with --sign-key
                        too); launchers that trust more than one key refuse its signatures from then on.
                        The other --sign-key keys sign the version file. Goes with a release or --renew
  --renew               sign the version file in place again with a new release time (and --valid-for's
                        period, else the one it has), changing no other file; no name=version is given
  --preload             publish a coming release ahead of its day: its files (with their maps and
                        indexes) as a release copies them, then "<version file>.coming", the version
                        file the release will have, signed like it but with "preload:<unix seconds>"
                        (later than the previous coming list's) in place of the release time. The
                        version file and its signatures stay as they are; launchers pre-download the
                        changed files. The same command without --preload later releases it (the
                        files in place are kept). A list naming nothing newer is refused
  --withdraw-preload    remove "<version file>.coming" and its signatures; the versioned files stay
  --upload REMOTE       after publishing into the CDN folder, upload it to the origin REMOTE (an rclone
                        remote and path, "name:path"; rclone runs as a program, $KV_PUBLISH_RCLONE names
                        another). Give it again for more origins: each step ends on every origin before
                        the next starts. The order: the versioned files the lists name, with their maps
                        and indexes, that an origin lacks (with "Cache-Control: public, max-age=31536000,
                        immutable" where the storage keeps headers); the signatures named by the lists'
                        digests; the coming list's signatures, the revocations and the coming list; the
                        version file's signatures and the version file last (these "Cache-Control:
                        no-cache", copied every time). A versioned name an origin holds with other bytes
                        stops the upload. Nothing is deleted on an origin; a failed upload exits 1 naming
                        the file, and the same command run again goes on. Goes with a release, --preload
                        and --renew
  --check-url BASE      with --upload: before any list goes up, ask for every new file through BASE, the
                        public URL players use (HEAD for its size, its first and last 64 KiB as byte
                        ranges against the local copy); a wrong answer stops the upload, naming the file
  --prune DAYS          on the origins given with --upload: remove the versioned files, maps, indexes and
                        digest-named signatures that neither the live nor the coming list names (both
                        read from the origin and verified with the --sign-key keys) and that an earlier
                        prune found unnamed at least DAYS days before (kept in "<version file>.pruning"
                        on the origin). Run it on a schedule; nothing else is uploaded
  --help                this text

Signing writes "<version file>.minisig" (minisign's format, verifiable with `minisign -V`), whose trusted
comment carries the release time as "timestamp:<unix seconds>", later than the previous release's, the
validity period as "valid_days:<n>" when one is given, and the version file's name ("file:<name>"). The
signature takes its name just before the version file, so a launcher that reads between the two sees a
mismatch and retries. Every signature is also written as "<file>.<64 hex digits of the file's
BLAKE2b-256>.minisig" (further keys "<file>.<digest>.<key id>.minisig"), before the names in place:
launchers ask for that one first, and no cache can pair it with another list. Before signing, an existing signed version file must verify with the key: entries
that were changed on the CDN are not signed again. Without a key, a CDN folder whose version file is
signed is refused: an unsigned list beside a stale signature would be refused by every launcher.

A run that fails or is stopped leaves what launchers read as it was (or, stopped between the signature
and the version file, the new signature with the staged version file it signs beside the old one).
Running the same command again completes it: a staged version file that the signature in place verifies
with the key is put in place first, and files left staged are removed.

On a terminal, standard error shows the files and bytes done and the time left on one line; elsewhere
only the result lines are written.

Several CDN hosts (a launcher built with KESTRIVANE_CDN_MIRRORS): publish once, into one folder, and
copy that folder unchanged to every host (--upload once per host does so), the versioned files first, then the signature and the version
file. Every host then serves the same bytes under the same names; launchers take the version file and
its signature from the same host and check every file against the signed list, so a host that is behind
or serves a damaged file costs a retry on another host, never a wrong install. Do not run kv-publish
on each host: the release times in the signatures would differ, and a launcher that accepted the later
one refuses the earlier as an older release.

Refused, with exit code 2 and nothing changed: names the launcher would refuse (empty, ".", "..",
or containing '/', '\', ':', a NUL or a line break), versions containing those characters, files
larger than 1 TiB, missing files, a name given twice, different content for an already published
version (without --replace), and a coming release whose files are all listed as they are.
Exit codes: 0 published, 1 a read or write failed, 2 refused input, bad usage or an unusable key.
)";
