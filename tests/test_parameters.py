"""The kernel's parameters, declared once: the estimators' signatures and
docstrings and the command's options all follow the one table."""
import inspect
import re

import pytest
from sklearn.base import clone

from vellum import GkmKernel, GkmSVC, GkmSVR, _gkmkern, cli
from vellum.parameters import KERNEL_PARAMETERS, WEIGHT_SCHEME_NAMES

KERNEL_NAMES = [p.name for p in KERNEL_PARAMETERS]
MODEL_PARAMETERS = {
    GkmKernel: [],
    GkmSVC: ["C", "class_weight", "probability", "solver"],
    GkmSVR: ["C", "epsilon", "solver"],
}


@pytest.mark.parametrize("cls", MODEL_PARAMETERS, ids=lambda cls: cls.__name__)
def test_signature_and_defaults_are_the_table_s(cls):
    signature = inspect.signature(cls)
    assert list(signature.parameters) == KERNEL_NAMES + MODEL_PARAMETERS[cls]
    defaults = cls().get_params()
    assert {p.name: defaults[p.name] for p in KERNEL_PARAMETERS} == {p.name: p.default for p in KERNEL_PARAMETERS}


@pytest.mark.parametrize("cls", MODEL_PARAMETERS, ids=lambda cls: cls.__name__)
def test_the_docstring_documents_every_parameter_in_signature_order(cls):
    section = cls.__doc__.split("Parameters\n    ----------\n")[1].split("\n\n")[0]
    assert re.findall(r"^    (\w+) : ", section, flags=re.M) == list(inspect.signature(cls).parameters)
    assert "{parameters}" not in cls.__doc__


def test_init_stores_values_verbatim_by_position_or_keyword():
    weights = {0: 1.0, 1: 2.0}
    model = GkmSVC(7, 3, 2, class_weight=weights, weight_sigma=12)
    assert (model.L, model.k, model.d, model.weight_sigma) == (7, 3, 2, 12)
    assert model.class_weight is weights
    assert clone(model).get_params() == model.get_params()
    with pytest.raises(TypeError, match="unexpected keyword argument 'sigma'"):
        GkmSVC(sigma=3.0)


def test_weight_scheme_values_are_the_core_s():
    assert tuple(WEIGHT_SCHEME_NAMES.values()) == (
        _gkmkern.WEIGHT_FULL,
        _gkmkern.WEIGHT_TRUNCATED,
        _gkmkern.WEIGHT_ESTIMATED_FULL,
    )


def command_kernel(*options):
    return cli.kernel_params(cli.build_parser().parse_args(["gram", "x.fa", "-q", *options]))


def test_the_command_s_defaults_are_the_python_defaults():
    expected = GkmKernel().get_params()
    assert command_kernel() == dict(expected, progress=False)


CHANGED = dict(
    L=7, k=3, d=1, weight_scheme=2, use_rc=False, invalid="skip", positional=True, pos_kernel="gaussian",
    weight_sigma=3.5, weight_gamma=0.25,
)


@pytest.mark.parametrize(
    "options",
    [
        ["-L", "7", "-k", "3", "-d", "1", "--weight-scheme", "estimated", "--no-use-rc", "--invalid", "skip",
         "--positional", "--pos-kernel", "gaussian", "--weight-sigma", "3.5", "--weight-gamma", "0.25"],
        # The spellings before the options took the parameters' names.
        ["-L", "7", "-k", "3", "-d", "1", "--weight-scheme", "estimated", "--no-rc", "--invalid", "skip",
         "--positional", "--pos-kernel", "gaussian", "--sigma", "3.5", "--gamma", "0.25"],
    ],
    ids=["parameter-names", "old-spellings"],
)
def test_each_option_sets_the_parameter_of_its_name(options):
    assert command_kernel(*options) == dict(GkmKernel(**CHANGED).get_params(), progress=False)


def test_help_shows_the_parameters_names_only(capsys):
    with pytest.raises(SystemExit):
        cli.main(["gram", "--help"])
    help_text = capsys.readouterr().out
    for name in KERNEL_NAMES:
        if name != "progress":
            assert cli.option_name(name) in help_text, name
    assert not re.search(r"--sigma|--gamma|--no-rc\b", help_text)
