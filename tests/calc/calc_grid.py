#!/usr/bin/env python3
"""Holds every text vapcal-calc prints against the concentration model worked
out independently in 50-digit decimals.

The reference follows the kit's calibration sheet step by step: Csat from the
vapour-pressure equation, shown with three significant digits; Qsat, the
reservoir output, both outputs and the ratio each held as their fields hold
them (written with 18 significant digits, then rounded to the field's decimals
half away from zero), every later step reading the held value. A grid of
forward calculations and one of back-calculations run through vapcal-calc's
tables; a few single runs type inputs that fall on a tie of their field.

    calc_grid.py --calc build/tools/vapcal-calc           # the full grid
    calc_grid.py --calc build/tools/vapcal-calc --quick   # the small CI grid

Prints the number of rows and texts compared; exits 1 on the first
differences (up to 20 listed), 0 when every text is equal.
"""

import argparse
import decimal
import json
import subprocess
import sys
from decimal import Decimal as D

decimal.setcontext(decimal.Context(prec=50, rounding=decimal.ROUND_HALF_UP))

FLOW_MIN, FLOW_MAX = D(0), D(20)


def round_half_away(x, exponent):
    return x.quantize(D(1).scaleb(exponent), rounding=decimal.ROUND_HALF_UP)


def written18(x):
    """x written with 18 significant digits, half away from zero."""
    if x == 0:
        return D(0)
    return round_half_away(x, x.adjusted() - 17)


def field_text(x, decimals, trim=True):
    y = round_half_away(written18(x), -decimals)
    if y == 0:
        y = abs(y)
    text = format(y, "f")
    if trim and "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def held(x, decimals):
    return D(field_text(x, decimals, False))


def exp3_text(x):
    """Three significant digits in exponent form: 6.25E+01."""
    y = round_half_away(x, x.adjusted() - 2)
    digits = format(y.scaleb(-y.adjusted()), "f")
    if "." not in digits:
        digits += ".00"
    digits = (digits + "00")[:4]
    exponent = y.adjusted()
    return "%sE%s%02d" % (digits, "+" if exponent >= 0 else "-", abs(exponent))


SAT_CONC = {}


def sat_conc(t):
    if t not in SAT_CONC:
        T = t + D("273.15")
        x = (D("-1.618139") * T.ln()) + (D("-7861.972") / T) + D("27.25266") + (
            D("7.057924E-7") * T * T)
        c = x.exp() / D("1.38E-16") / T * D("3.3306655685659823E-22") * 1000 * D("1E10")
        SAT_CONC[t] = c / (D("1.05247440320196") - D("0.000446608366111497") * t)
    return SAT_CONC[t]


def sat_flow(f, pbar, dp, t, tref):
    return f * D("29.95") / (dp / D("13.595") + pbar) * (t + D("273.15")) / (tref + D("273.15"))


def forward(t, f, dil, pbar, dp, tref):
    """The window's fields after a forward calculation."""
    csat = exp3_text(sat_conc(t))
    cs = D(csat)
    qsat = held(sat_flow(f, pbar, dp, t, tref), 6)
    s = held(cs * qsat, 2)
    total = f / 1000 + dil
    cu = held(cs * f / total, 2)
    cd = held(s / total, 2)
    return {
        "edtSatConc": csat,
        "edtSatFlow": field_text(qsat, 6, False),
        "edtSaturator": field_text(s, 2),
        "edtUncorrectedOput": field_text(cu, 2),
        "edtDilutedOput": field_text(cd, 2),
        "edtRatio": field_text(cd / cu, 2),
    }


def back(t, f, dil, pbar, dp, tref, wanted):
    """The fields after the forward start and a back-calculation, with what
    the held flow delivers; None when the flow is refused."""
    fields = forward(t, f, dil, pbar, dp, tref)
    tr = (t + D("273.15")) / (tref + D("273.15"))
    q = D("29.95") * tr * sat_conc(t) / (wanted * (dp / D("13.595") + pbar))
    flow = dil / (q - D("0.001"))
    if flow < FLOW_MIN or flow > FLOW_MAX:
        return None
    fh = held(flow, 1)
    cs = D(fields["edtSatConc"])
    cu = held(cs * fh / (fh / 1000 + dil), 2)
    if cu == 0:
        return None
    delivered = forward(t, fh, dil, pbar, dp, tref)["edtDilutedOput"]
    dd = D(delivered)
    fields.update({
        "edtFlow": field_text(fh, 1),
        "edtUncorrectedOput": field_text(cu, 2),
        "edtDilutedOput": field_text(wanted, 2),
        "edtRatio": field_text(wanted / cu, 2),
        "deliveredOput": delivered,
        "deliveredDifference": field_text(dd - wanted, 2),
        "deliveredDifferencePercent": field_text((dd - wanted) / wanted * 100, 2),
    })
    return fields


class Tally:
    def __init__(self):
        self.rows = 0
        self.texts = 0
        self.differences = []

    def compare(self, where, got, expected):
        self.rows += 1
        for key, text in expected.items():
            self.texts += 1
            if got.get(key) != text:
                self.differences.append("%s %s: vapcal-calc %r, reference %r" %
                                        (where, key, got.get(key), text))


def run(calc, args):
    out = subprocess.run([calc, "--decimal-separator", ".", "--json"] + args,
                         capture_output=True, text=True, check=False)
    if out.returncode not in (0, 1):
        sys.exit("vapcal-calc %s: exit %d\n%s" % (" ".join(args), out.returncode, out.stderr))
    return out


def inputs_of(row):
    return [D(row[k]) for k in ("edtTemp", "edtFlow", "edtDilutionFlow", "edtPbar", "edtDp",
                                "edtRefTemp")]


def forward_grid(calc, tally, ranges, conditions):
    for pbar, dp, tref in conditions:
        out = run(calc, ["--temp", ranges[0], "--flow", ranges[1], "--dilution", ranges[2],
                         "--pbar", pbar, "--dp", dp, "--ref-temp", tref])
        for row in json.loads(out.stdout):
            expected = forward(*inputs_of(row))
            tally.compare(" ".join(str(v) for v in inputs_of(row)), row, expected)


def back_grid(calc, tally, ranges, conditions):
    for pbar, dp, tref in conditions:
        out = run(calc, ["--temp", ranges[0], "--dilution", ranges[1], "--wanted", ranges[2],
                         "--pbar", pbar, "--dp", dp, "--ref-temp", tref])
        for row in json.loads(out.stdout):
            t, f, dil, pb, d, tr = inputs_of(row)
            where = "%s %s %s %s %s wanted" % (t, dil, pb, d, tr)
            wanted = D(row["edtDilutedOput"])
            expected = back(t, D(6), dil, pb, d, tr, wanted)
            if "error" in row:
                # Only a refused flow may fail, and the reference refuses it too.
                tally.rows += 1
                tally.texts += 1
                if expected is not None:
                    tally.differences.append("%s %s: vapcal-calc refused (%s), the reference "
                                             "not" % (where, wanted, row["error"]))
                continue
            if expected is None:
                tally.differences.append("%s %s: vapcal-calc accepted a flow the reference "
                                         "refuses" % (where, wanted))
                continue
            tally.compare("%s %s" % (where, wanted), row, expected)


# Inputs typed with more decimals than their fields show: the field holds
# them as written with 18 digits and rounded, so a tie rounds up.
TYPED = [
    ["--temp", "45.35"], ["--temp", "30.05"], ["--temp", "59.95"], ["--flow", "1.15"],
    ["--flow", "2.35"], ["--dilution", "2.35"], ["--dilution", "10.05"],
    ["--pbar", "29.96005"], ["--dp", "0.00005"], ["--ref-temp", "20.00015"],
    ["--temp", "45.35", "--flow", "8.25", "--dilution", "13.45"],
]


def typed_runs(calc, tally):
    for args in TYPED:
        row = json.loads(run(calc, args).stdout)
        tally.compare(" ".join(args), row, forward(*inputs_of(row)))
        for key, value in zip(args[::2], args[1::2]):
            field = {"--temp": "edtTemp", "--flow": "edtFlow", "--dilution": "edtDilutionFlow",
                     "--pbar": "edtPbar", "--dp": "edtDp", "--ref-temp": "edtRefTemp"}[key]
            decimals = 1 if field in ("edtTemp", "edtFlow", "edtDilutionFlow") else 4
            tally.compare(" ".join(args), row, {field: field_text(D(value), decimals)})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calc", required=True, help="the vapcal-calc program")
    parser.add_argument("--quick", action="store_true", help="the small grid for CI")
    args = parser.parse_args()

    conditions = [("29.96", "0", "20"), ("29.92", "10", "25"), ("30.5", "-3.2", "0"),
                  ("28.1234", "55.5", "37.5")]
    if args.quick:
        forward_ranges = ("30:60:7.5", "0.5:20:3.5", "1:20:6")
        back_ranges = ("30:60:10", "2:20:9", "0.25:100:9.75")
        conditions = conditions[::3]
    else:
        forward_ranges = ("30:60:0.5", "0.5:20:0.5", "1:20:1")
        back_ranges = ("30:60:2", "2:20:2", "0.25:100:0.25")

    tally = Tally()
    forward_grid(args.calc, tally, forward_ranges, conditions)
    back_grid(args.calc, tally, back_ranges, conditions[:2])
    typed_runs(args.calc, tally)

    print("calc_grid: %d calculations, %d texts compared with the 50-digit reference, "
          "%d differ" % (tally.rows, tally.texts, len(tally.differences)))
    for difference in tally.differences[:20]:
        print("  " + difference)
    return 1 if tally.differences else 0


if __name__ == "__main__":
    sys.exit(main())
