#!/usr/bin/env python3
"""Builds the viewer's place index from GeoNames' cities500.txt.

usage: place_index.py CITIES500.TXT OUT.sqlite

One SQLite file, written under a temporary name and renamed, so that an
interrupted build leaves no half index behind:
- places: one row per place; the rowid is the place's rank by population
  (1 is the most populous), so that "the most populous first" is the
  order SQLite reads rows in and a query can stop after the first few;
- place_names: an FTS5 index (no copy of the text) of the name, the ASCII
  name and the alternate names, case and accent insensitive, with prefix
  indexes for short prefixes typed while searching;
- place_boxes: an R*Tree of the positions, for the places in a small
  latitude/longitude box.
"""
import os
import sqlite3
import sys

# A line of cities500.txt: geonameid, name, asciiname, alternatenames,
# latitude, longitude, feature class, feature code, country code, cc2,
# admin1..admin4, population, elevation, dem, timezone, modification date.
FIELDS = 19


def rows(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            parts = line.rstrip("\n").split("\t")
            if len(parts) != FIELDS:
                print(f"place_index: {path}:{number}: {len(parts)} fields, skipped", file=sys.stderr)
                continue
            try:
                lat, lon = float(parts[4]), float(parts[5])
                population = int(parts[14] or 0)
                elevation = int(parts[15]) if parts[15] else int(parts[16] or 0)
            except ValueError:
                print(f"place_index: {path}:{number}: a number does not parse, skipped", file=sys.stderr)
                continue
            if not (-90 <= lat <= 90 and -180 <= lon <= 180) or not parts[1]:
                continue
            if elevation < -1000 or elevation > 9000:  # GeoNames' "no data" is -9999
                elevation = 0
            yield (parts[1], parts[2], parts[3], parts[8], parts[10], population, lat, lon, elevation)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: place_index.py CITIES500.TXT OUT.sqlite")
    source, out = sys.argv[1], sys.argv[2]
    places = sorted(rows(source), key=lambda r: (-r[5], r[0]))
    temporary = out + ".part"
    if os.path.exists(temporary):
        os.remove(temporary)
    db = sqlite3.connect(temporary)
    db.executescript("""
        PRAGMA journal_mode = OFF;
        PRAGMA synchronous = OFF;
        CREATE TABLE places(id INTEGER PRIMARY KEY, name TEXT NOT NULL, country TEXT NOT NULL,
                            admin1 TEXT NOT NULL, population INTEGER NOT NULL,
                            latitude REAL NOT NULL, longitude REAL NOT NULL, elevation INTEGER NOT NULL);
        CREATE VIRTUAL TABLE place_names USING fts5(name, ascii_name, alternate_names, content='',
                            tokenize='unicode61 remove_diacritics 2', prefix='1 2 3');
        CREATE VIRTUAL TABLE place_boxes USING rtree(id, min_lat, max_lat, min_lon, max_lon);
    """)
    db.executemany("INSERT INTO places VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                   ((k, r[0], r[3], r[4], r[5], r[6], r[7], r[8]) for k, r in enumerate(places, 1)))
    db.executemany("INSERT INTO place_names(rowid, name, ascii_name, alternate_names) VALUES (?, ?, ?, ?)",
                   ((k, r[0], r[1], r[2].replace(",", ", ")) for k, r in enumerate(places, 1)))
    db.executemany("INSERT INTO place_boxes VALUES (?, ?, ?, ?, ?)",
                   ((k, r[6], r[6], r[7], r[7]) for k, r in enumerate(places, 1)))
    db.execute("INSERT INTO place_names(place_names) VALUES ('optimize')")
    db.commit()
    db.execute("VACUUM")
    db.close()
    os.replace(temporary, out)
    print(f"place_index: {len(places)} places in {out}")


if __name__ == "__main__":
    main()
