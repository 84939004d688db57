#!/usr/bin/env python3
"""Independent oracle of the UTM import: for every cell of a geographic target, the source cell
whose centre is nearest to the cell's projected position, computed straight from the series.

Arguments (key=value): offset_x offset_y reso_x reso_y zone a b zoff_x zoff_y zreso_x zreso_y
zw xydir tw th sw sh. Prints one line per target cell, row by row: the source index u + 65536 v,
-1 when the cell gets no value, or "tie" when u or v lies within 0.01 of a rounding tie.
"""
import math
import sys


def series(lon, lat, a, b, lon0, false_n):
    e2 = (a * a - b * b) / (a * a)
    s, c, t = math.sin(lat), math.cos(lat), math.tan(lat)
    w2 = 1 - e2 * s * s
    n = a / math.sqrt(w2)
    m = a * (1 - e2) / (w2 * math.sqrt(w2))
    arc = a * (lat
               + e2 * (-lat / 4 - 3 / 8 * math.sin(2 * lat))
               + e2 ** 2 * (-3 / 64 * lat - 3 / 32 * math.sin(2 * lat) + 15 / 256 * math.sin(4 * lat))
               + e2 ** 3 * (-5 / 256 * lat - 45 / 1024 * math.sin(2 * lat)
                            + 45 / 1024 * math.sin(4 * lat) - 35 / 3072 * math.sin(6 * lat))
               + e2 ** 4 * (-175 / 16384 * lat - 105 / 4096 * math.sin(2 * lat)
                            + 525 / 16384 * math.sin(4 * lat) - 175 / 12288 * math.sin(6 * lat)
                            + 315 / 131072 * math.sin(8 * lat)))
    l = lon - lon0
    psi = n / m
    x = (arc + n / 2 * s * c * l ** 2
         + n / 24 * s * c ** 3 * (4 * psi ** 2 + psi - t ** 2) * l ** 4
         + n / 720 * s * c ** 5 * (61 - 58 * t ** 2 + t ** 4) * l ** 6)
    y = (n * c * l + n / 6 * c ** 3 * (psi - t ** 2) * l ** 3
         + n / 120 * c ** 5 * (5 - 18 * t ** 2 + t ** 4) * l ** 5)
    return 0.9996 * x + false_n, 0.9996 * y + 500000


def main():
    p = {k: float(v) for k, v in (arg.split('=') for arg in sys.argv[1:])}
    zone = int(p['zone'])
    n = abs(zone)
    cm = 6 * n - 183
    false_n = 10000000.0 if zone < 0 else 0.0
    out = []
    for y in range(int(p['th'])):
        lat = y / p['reso_y'] + p['offset_y']
        for x in range(int(p['tw'])):
            lon = x / p['reso_x'] + p['offset_x']
            # Pass 0 at the zone's own longitudes, pass 1 at those plus 360 degrees.
            shift = None
            for k in (0, 1):
                if cm - p['zw'] / 2 + 360 * k <= lon < cm + p['zw'] / 2 + 360 * k:
                    shift = 360 * k
            if shift is None:
                out.append('-1')
                continue
            X, Y = series(math.radians(lon - shift), math.radians(lat), p['a'], p['b'],
                          math.radians(cm), false_n)
            north = (X - p['zoff_x']) * p['zreso_x' if p['xydir'] else 'zreso_y']
            east = (Y - p['zoff_y']) * p['zreso_y' if p['xydir'] else 'zreso_x']
            u, v = (north, east) if p['xydir'] else (east, north)
            if any(abs(q - math.floor(q) - 0.5) < 0.01 for q in (u, v)):
                out.append('tie')
                continue
            ru, rv = math.floor(u + 0.5), math.floor(v + 0.5)
            if ru < 0 or rv < 0 or ru >= p['sw'] or rv >= p['sh']:
                out.append('-1')
            else:
                out.append(str(ru + 65536 * rv))
    print('\n'.join(out))


if __name__ == '__main__':
    main()
