"""`quarn plot` drawn with the real matplotlib and read back: the text of the SVG (axis
labels, legends, title, tick labels) and the pixels of the PNG."""

import xml.etree.ElementTree as ET

import numpy as np
import pytest

import psfwriter
from psfwriter import Decl, Layout, PsfFile, Record, Tag, TypeDecl

pytest.importorskip("matplotlib")
import matplotlib.image  # noqa: E402

from quarn.cli import main  # noqa: E402
from quarn.cli.plot import short_labels  # noqa: E402

SVG = "{http://www.w3.org/2000/svg}"


def swept(sweep, units, x, traces, analysis="dc"):
    """A Simple-layout file: the sweep and `traces` [(name, units, samples)], each
    type carrying its units."""
    types, ids = [], {}

    def type_of(unit, cplx):
        if (unit, cplx) not in ids:
            ids[unit, cplx] = 100 + len(ids)
            types.append(TypeDecl(ids[unit, cplx], f"t{len(ids)}",
                                  Tag.COMPLEX if cplx else Tag.FLOAT64,
                                  props=[("units", unit)] if unit else []))
        return ids[unit, cplx]

    decls = [Decl(1, sweep, type_of(units, False))]
    decls += [Decl(200 + k, n, type_of(u, np.iscomplexobj(d)))
              for k, (n, u, d) in enumerate(traces)]
    return PsfFile(Layout.SIMPLE, header=[("analysis type", analysis)], types=types,
                   sweeps=decls[:1], traces=decls[1:],
                   values=[r for i in range(len(x)) for r in [Record(1, x[i])] + [
                       Record(200 + k, d[i]) for k, (_, _, d) in enumerate(traces)]]).to_bytes()


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("plots")
    for name in ("ac", "dc", "noise"):
        (d / f"{name}.psfbin").write_bytes(psfwriter.REALISTIC[name]()[0].to_bytes())
    vin = np.linspace(-1, 1, 50)
    (d / "wide.psfbin").write_bytes(swept("vin", "V", vin, [
        (f"n{k}", "V", np.tanh(vin * k)) for k in range(12)]))
    freq = np.logspace(0, 5, 1000)
    (d / "zero.psfbin").write_bytes(swept("freq", "Hz", freq, [
        ("gnd", "V", np.zeros(1000, complex)),
        ("delay", "V", np.exp(-2j * np.pi * freq * 1e-4))], analysis="ac"))  # 10 turns
    for k in range(25):
        (d / f"mc_run{k}.psfbin").write_bytes(swept("vin", "V", vin, [
            ("out", "V", np.tanh(3 * vin) + 0.05 * (k % 5)), ("vdd:p", "A", 1e-3 * vin ** 2)]))
    return d


def svg_text(path):
    """Per axes, top to bottom: its y label, y tick labels and legend entries; then the
    x label and the figure's title."""
    fig = ET.parse(path).getroot().find(f"{SVG}g")
    axes, xlabel = [], None

    def texts(g, prefix):
        return [t.text for c in g if c.get("id", "").startswith(prefix)
                for t in c.iter(f"{SVG}text")]

    for ax in fig.findall(f"{SVG}g"):
        if not ax.get("id", "").startswith("axes_"):
            continue
        xaxis, yaxis = [g for g in ax if g.get("id", "").startswith("matplotlib.axis")]
        xlabel = texts(xaxis, "text_") or xlabel
        # The axes' background: its corners, in points (the PNG has 100/72 pixels a point).
        d = ax.find(f"{SVG}g/{SVG}path").get("d").split()  # M x y L x y L x y L x y z
        corners = np.array(d[1:-1:3] + d[2:-1:3], dtype=float)
        axes.append({"ylabel": texts(yaxis, "text_")[0], "yticks": texts(yaxis, "ytick_"),
                     "legend": texts(ax, "legend_"), "box": corners.reshape(2, -1) * 100 / 72})
    return axes, xlabel[0], texts(fig, "text_")[0]


def drawn(band, colour):
    """Pixels of `band` (RGBA floats) within a little of matplotlib's colour `colour`."""
    rgb = np.array(matplotlib.colors.to_rgb(colour)) * 255
    return int(np.all(np.abs(band[..., :3] * 255 - rgb) < 40, axis=-1).sum())


# (files, options, per axis (y label, legend entries, colours drawn in its band), x label,
#  title, stderr)
PLOTS = [
    (["ac"], ["--trace", "V(out)"],
     [("|V(out)| [dBV]", [], ["C0"]), ("phase [deg]", [], ["C0"])], "freq [Hz]", "ac", ""),
    # One axis per unit; a real trace in degrees joins the phase.
    (["ac"], [], [("|V(out)|, |V(in)| [dBV]", ["V(out)", "V(in)"], ["C0", "C1"]),
                  ("|I(vdd:p)| [dBA]", [], ["C2"]),
                  ("phase [deg]", ["V(out)", "V(in)", "I(vdd:p)", "phase(out)"],
                   ["C0", "C2", "C3"])], "freq [Hz]", "ac", ""),
    (["dc"], [], [("out [V]", [], ["C0"]), ("vdd:p [A]", [], ["C1"])], "vin [V]", "dc", ""),
    (["noise"], ["--trace", "M1"], [("M1", ["id", "fn", "rd", "total"], ["C0", "C1"])],
     "freq", "noise", ""),
    # More than 8 traces: the first 8, the rest named on stderr.
    (["wide"], [], [("voltage [V]", [f"n{k}" for k in range(8)], ["C0", "C7"])], "vin [V]",
     "dc", "left out: 'n8', 'n9', 'n10', 'n11'; choose the traces with --trace"),
    # A zero trace is drawn (below the rest) and said to be zero; the phase is unwrapped.
    (["zero"], [], [("|gnd|, |delay| [dBV]", ["gnd (all zero)", "delay"], ["C0", "C1"]),
                    ("phase [deg]", ["gnd", "delay"], ["C0", "C1"])], "freq [Hz]", "ac", ""),
    # Short file labels in natural order.
    ([f"mc_run{k}" for k in (10, 2, 1)], ["--trace", "out"],
     [("out [V]", ["1", "2", "10"], ["C0", "C1", "C2"])], "vin [V]", "3 files: dc", ""),
    # A cloud of 25 runs: one colour per trace, no legend of files.
    ([f"mc_run{k}" for k in range(25)], [],
     [("out [V]", [], ["C0"]), ("vdd:p [A]", [], ["C1"])], "vin [V]", "25 files: dc", ""),
]


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("names, options, axes, xlabel, title, err", PLOTS)
def test_plot_read_back(files, tmp_path, capsys, names, options, axes, xlabel, title, err):
    paths = [str(files / f"{n}.psfbin") for n in names]
    for suffix in (".svg", ".png"):
        assert main(["plot", *paths, *options, "-o", str(tmp_path / f"p{suffix}")]) == 0
        out, stderr = capsys.readouterr()
        assert stderr == (f"quarn plot: plotting the first 8 traces; {err}"
                          " NAME (repeatable)\n" if err else "")
    got, got_x, got_title = svg_text(tmp_path / "p.svg")
    assert [(a["ylabel"], a["legend"]) for a in got] == [(y, legend) for y, legend, _ in axes]
    assert (got_x, got_title) == (xlabel, f"{paths[0]}: {title}" if len(paths) == 1 else title)
    if names == ["zero"]:  # ten turns of delay: the phase falls to -3600 degrees
        assert min(float(t.replace("\u2212", "-")) for t in got[1]["yticks"]) <= -3000
    img = matplotlib.image.imread(tmp_path / "p.png")
    assert img.shape[:2] == (round(100 * (1.0 + 2.5 * len(axes))), 800)
    for a, (_, _, colours) in zip(got, axes):
        (x0, y0), (x1, y1) = a["box"].min(axis=1), a["box"].max(axis=1)
        band = img[round(y0):round(y1) + 1, round(x0):round(x1) + 1]
        for colour in colours:
            assert drawn(band, colour) > 40, colour


@pytest.mark.parametrize("names, labels", [
    (["d/run2.psf", "d/run10.psf"], ["2", "10"]),
    (["mc_run_009.psf", "mc_run_010.psf"], ["009", "010"]),  # numbers kept whole
    (["d/ac17.psfbin", "d/ac.psfbin"], ["ac17.psfbin", "ac.psfbin"]),  # one would be empty
    (["x/a.psf", "y/a.psf"], ["x", "y"]),
    (["a.psf"], ["a.psf"]),
])
def test_short_labels(names, labels):
    assert short_labels(names) == labels
