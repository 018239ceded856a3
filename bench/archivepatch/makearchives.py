#!/usr/bin/env python3
"""The archive pair of the archive-patch benchmark, and the check of an installed folder.

  makearchives.py generate OLD.zip NEW.zip SIZE_MIB   prints the pair's figures ("name: value unit")
  makearchives.py check ZIP FOLDER                    exit 0 when FOLDER holds every entry of ZIP as is

The old archive holds 2,000 entries of about SIZE_MIB MiB together: half text (deflated), half binary
(stored, random bytes). The new one (fixed seeds) changes 20 of them (10 text entries with lines
rewritten, 10 binary ones with new content), adds 5 binary entries at scattered places and renames 3
binary ones (same content, new name), so that the changed and added entries take about 1 % of the
compressed bytes.
"""

import os
import random
import sys
import zipfile
import zlib

ENTRIES = 2000
MIB = 1048576


def text_pool(rng):
    # Lines of words from a fixed vocabulary: text that deflates about as game text does, from a
    # pool larger than deflate's window so that it is not just repeats.
    vocab = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(3000)]
    weights = [1.0 / (k + 1) for k in range(len(vocab))]  # word frequencies fall off as in prose
    return [" ".join(rng.choices(vocab, weights, k=rng.randint(4, 14))) + "\n" for _ in range(20000)]


def text_of(rng, pool, size):
    lines, n = [], 0
    while n < size:
        chunk = rng.choices(pool, k=256)
        lines.extend(chunk)
        n += sum(len(s) for s in chunk)
    return "".join(lines).encode()[:size]


def write_zip(path, entries):
    # Sizes are known before each entry is written: local headers carry them, no data descriptors.
    with zipfile.ZipFile(path, "w") as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED if name.endswith(".txt") else zipfile.ZIP_STORED
            z.writestr(info, data, compresslevel=6)


def generate(old_path, new_path, size_mib):
    total = size_mib * MIB
    rng = random.Random(36)
    pool = text_pool(rng)
    # Binary entries take about 88 % of the archive, text 30 % unpacked (about 12 % deflated).
    bin_avg = total * 0.88 / (ENTRIES / 2)
    text_avg = total * 0.3 / (ENTRIES / 2)
    old = []
    for i in range(ENTRIES):
        if i % 2 == 0:
            name = "data/level%02d/text%04d.txt" % (i % 40, i)
            data = text_of(rng, pool, max(64, int(text_avg * rng.uniform(0.2, 1.8))))
        else:
            name = "data/level%02d/blob%04d.bin" % (i % 40, i)
            data = rng.randbytes(max(64, int(bin_avg * rng.uniform(0.2, 1.8))))
        old.append((name, data))
    write_zip(old_path, old)

    rng = random.Random(37)
    texts = [i for i in range(ENTRIES) if i % 2 == 0]
    bins = [i for i in range(ENTRIES) if i % 2 == 1]
    changed_text = rng.sample(texts, 10)
    picked_bins = rng.sample(bins, 13)
    changed_bin, renamed = picked_bins[:10], picked_bins[10:]
    new = list(old)
    for i in changed_text:
        name, data = new[i]
        lines = data.split(b"\n")
        for k in rng.sample(range(len(lines)), max(1, len(lines) // 50)):
            lines[k] = rng.choice(pool).rstrip("\n").encode()
        new[i] = (name, b"\n".join(lines))
    for i in changed_bin:
        new[i] = (new[i][0], rng.randbytes(int(total * 0.0004)))
    renames = []
    for i in renamed:
        name = new[i][0].replace("/blob", "/renamed")
        renames.append((new[i][0], name))
        new[i] = (name, new[i][1])
    added = []
    for k in range(5):
        name = "data/added/extra%d.bin" % k
        added.append(name)
        new.insert(rng.randrange(len(new)), (name, rng.randbytes(int(total * 0.001))))
    write_zip(new_path, new)

    changed = [old[i][0] for i in changed_text + changed_bin]
    wanted = set(changed + added)
    with zipfile.ZipFile(new_path) as z:
        infos = sorted(z.infolist(), key=lambda x: x.header_offset)
        directory = z.start_dir
    compressed = sum(x.compress_size for x in infos if x.filename in wanted)
    # What the entries take in the archive: local header, name, extra field and data.
    ends = [x.header_offset for x in infos[1:]] + [directory]
    spans = sum(e - x.header_offset for x, e in zip(infos, ends) if x.filename in wanted)
    all_compressed = sum(x.compress_size for x in infos)
    print("old_archive: %d bytes, %d entries" % (os.path.getsize(old_path), len(old)))
    print("new_archive: %d bytes, %d entries" % (os.path.getsize(new_path), len(new)))
    print("changed_entries: %d" % len(changed))
    print("added_entries: %d" % len(added))
    print("renamed_entries: %d" % len(renames))
    print("changed_added_compressed: %d bytes (%.2f %% of the compressed bytes)"
          % (compressed, 100.0 * compressed / all_compressed))
    print("changed_added_spans: %d bytes" % spans)


def check(zip_path, folder):
    bad = 0
    with zipfile.ZipFile(zip_path) as z:
        for info in z.infolist():
            if info.is_dir():
                continue
            try:
                with open(folder + "/" + info.filename, "rb") as f:
                    same = f.read() == z.read(info)
            except OSError:
                same = False
            if not same:
                bad += 1
                if bad <= 5:
                    print("differs: %s" % info.filename, file=sys.stderr)
    if bad:
        print("%d entries differ" % bad, file=sys.stderr)
    return 1 if bad else 0


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "generate":
        generate(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return 0
    if len(sys.argv) == 4 and sys.argv[1] == "check":
        return check(sys.argv[2], sys.argv[3])
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())
