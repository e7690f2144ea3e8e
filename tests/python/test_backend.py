"""Choice of the compute backend, shared by lumivex, kuravel and dosterin."""

import os
import subprocess
import sys

import pytest

import dosterin
import kuravel
import lumivex

CHILD = ("import importlib, sys\n"
         "mods = [importlib.import_module(m) for m in sys.argv[1:]]\n"
         "print(' '.join(m.device() for m in mods))\n")


def clean_env(**overrides):
    env = {k: v for k, v in os.environ.items() if not k.startswith("LUMIVEX_")}
    env.update(overrides)
    return env


def run_child(modules, env=None):
    return subprocess.run([sys.executable, "-c", CHILD, *modules], env=env, capture_output=True, text=True,
                          timeout=120)


def test_all_modules_report_one_backend():
    assert lumivex.device() in ("cpu", "cuda")
    assert lumivex.device() == ("cuda" if lumivex.cuda_available() else "cpu")
    assert kuravel.device() == dosterin.device() == lumivex.device()
    assert kuravel.cuda_available() == dosterin.cuda_available() == lumivex.cuda_available()


@pytest.mark.parametrize("modules", [("lumivex", "kuravel", "dosterin"), ("dosterin", "kuravel", "lumivex")])
@pytest.mark.parametrize("choice", ["cpu", "auto", None])
def test_child_process_choice(modules, choice):
    env = clean_env() if choice is None else clean_env(LUMIVEX_DEVICE=choice)
    result = run_child(modules, env)
    assert result.returncode == 0, result.stderr
    expected = "cpu" if choice == "cpu" or not lumivex.cuda_available() else "cuda"
    assert result.stdout.split() == [expected] * 3


@pytest.mark.parametrize("first", ["lumivex", "kuravel", "dosterin"])
@pytest.mark.parametrize("device", ["cuda", "bogus"])
def test_unusable_device_choice_fails_the_import(first, device):
    if device == "cuda" and lumivex.cuda_available():
        pytest.skip("a CUDA device is present")
    result = run_child([first], clean_env(LUMIVEX_DEVICE=device))
    assert result.returncode != 0
    assert "LUMIVEX_DEVICE" in result.stderr
    assert ("ImportError" if device == "cuda" else "bogus") in result.stderr


def test_child_of_this_process_makes_its_own_choice(monkeypatch):
    # This process has already chosen its backend; a child started the ordinary way (inheriting
    # the environment) and told to use an unknown device must still be refused.
    monkeypatch.setenv("LUMIVEX_DEVICE", "bogus")
    result = run_child(["lumivex"])
    assert result.returncode != 0, result.stdout
    assert "bogus" in result.stderr


def test_device_failure_raises_runtime_error_and_keeps_the_engine_usable(loaded):
    # Injected through the same checks as a real device fault, on either backend.
    engine = loaded.engine
    lumivex._fail_next_device_operation("simulated device fault")
    with pytest.raises(RuntimeError, match="simulated device fault"):
        engine.set_constant_matprops(1.5, 0.1)
    engine.set_constant_matprops(1.4, 0.2)
    assert engine.get_node_count() == loaded.points.shape[0]
