"""The pelox package against the emulator: the road of one job with client
steps, parameters with server validation, files, components, the error
families, parallel clients, no handle leak, and the two installations."""

import gc
import os
import shutil
import socket
import subprocess
import sys
import threading

import pytest

import pelox
from pelox import JobState, _lib

# Outside the BMP, in the BMP beyond Latin-1, and plain: every text that
# crosses the library below carries these.
ODD = "na\u00efve \u2603 \U0001F680"


def _closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("defer_to_host", [False, True], ids=["library", "deferred"])
def test_the_road_of_one_job_with_client_steps(emu, client, tmp_path, defer_to_host):
    text = "trip " + ODD
    job = client.run("Examples/Client Steps/Round Trip", {"Text": text}, defer_to_host=defer_to_host)
    seen = []
    state = job.wait(timeout=60, poll_interval=0.05, progress=lambda s, m: seen.append(s))
    if defer_to_host:
        # Every other step was carried out by the library; the instructions
        # wait for this program, handed over once.
        assert state == JobState.WAITING_FOR_CLIENT
        assert job.instructions == "Check the file returned.txt of job %s." % job.id
        assert job.instructions == ""
        job.continue_()
        state = job.wait(timeout=60, poll_interval=0.05)
        assert job.instructions is None  # no longer waiting
    assert state == JobState.FINISHED and state.done
    assert seen and all(isinstance(s, JobState) for s in seen)
    assert job.errors == []
    results = job.results
    assert results["Echo"] == [text + "\n"]  # through a program on the client
    assert results["EchoStatus"] == ["0"]
    assert results["Done"] == ["true"]
    # The file went to the client and came back, byte for byte.
    listing = client.job_directory(job)
    assert listing.files["returned.txt"] == len(text.encode("utf-8"))
    client.download("/".join([emu.root, "jobs", "tester", job.id, "returned.txt"]), tmp_path / "returned.txt")
    assert (tmp_path / "returned.txt").read_text(encoding="utf-8") == text
    job.release()
    with pytest.raises(pelox.JobError) as e:
        job.poll()
    assert e.value.code == -988 and e.value.name == "PELOX_E_NO_JOB"


def test_parameters_validate_through_the_server_and_launch(client):
    with client.protocol("Examples/Shapes") as shapes:
        assert shapes.description == "Describes a circle or a square."
        assert shapes.version == 1
        assert shapes.guid == "{6A1F3C20-8D44-4E0B-9B7E-2C51A0D3E002}"
        # The implementation parameter only when asked for.
        assert list(shapes) == ["Shape", "Radius", "Side", "Colour", "Tags", "Precision"]
        params = shapes.parameters
        assert params["Precision"].parameter_class == "advanced" and params["Shape"].parameter_class == "normal"
        assert params["Shape"].required and params["Tags"].multiple_select
        colour = shapes["colour"]  # A-Z matched case-insensitively
        assert colour.legal_values == ["Red", "Green"] and colour.legal_values_enforced
        assert not shapes["Side"].enabled
        assert shapes["Side"].disabled_details == "Enabled only when Shape is Square"

        # An invalid value is refused with the server's words and undone.
        with pytest.raises(pelox.ValidationError) as e:
            shapes["Colour"] = "Blue"
        assert e.value.messages == ["Colour: 'Blue' is not a legal value of Colour"]
        assert e.value.parameters == ["Colour"]
        assert colour.values == ["Red"] and colour.valid
        # The mapping of parameters is read-only: an assignment there would
        # change nothing, so it says where to assign.
        with pytest.raises(TypeError, match=r"protocol\['Colour'\] = 'Blue'"):
            params["Colour"] = "Blue"

        # Several values at once; the rules follow the shape.
        shapes.update({"Shape": "Square", "Side": 2.5, "Colour": "Blue", "Tags": ["small", ODD]})
        assert colour.legal_values == ["Blue", "Black"]
        assert shapes["Side"].enabled and not shapes["Radius"].enabled
        assert shapes["Tags"].values == ["small", ODD]
        # An unknown name lists the protocol's parameters, before anything changes.
        for attempt in (lambda: shapes.__setitem__("Nope", 1), lambda: client.run("Examples/Shapes", {"Nope": 1})):
            with pytest.raises(pelox.UnknownParameterError) as e:
                attempt()
            assert isinstance(e.value, KeyError) and e.value.code == -995
            assert "Shape, Radius, Side, Colour, Tags, Precision" in str(e.value)
        with pytest.raises(pelox.ValidationError) as e:
            shapes.add_parameter("NoUI", "true")
        assert e.value.code == -970

        # Validation notices are warnings, not errors.
        pelox.set_option(pelox.OPTION_VALIDATION_NOTICES, True)
        try:
            with pytest.warns(pelox.PeloxNotice) as notices:
                shapes.add_parameter("Extra " + ODD, ["x"])
            assert [w.message.code for w in notices] == [-2000]
        finally:
            pelox.set_option(pelox.OPTION_VALIDATION_NOTICES, False)
        assert shapes["Extra " + ODD].values == ["x"]

        job = client.run(shapes)
        assert job.wait(timeout=30, poll_interval=0.05) == JobState.FINISHED
        results = job.results
        assert results["Shape"] == ["Square"] and results["Colour"] == ["Blue"]
        assert results["Tags"] == ["small", ODD]

    # A launch the library refuses as incomplete names the parameter.
    with client.protocol("Examples/Shapes") as shapes:
        shapes["Shape"] = "Square"  # Side has no value, Colour's Red is no longer legal
        with pytest.raises(pelox.ValidationError) as e:
            client.run(shapes)
        assert e.value.code == -981
        assert e.value.messages == ["Side: A value is required for Side",
                                    "Colour: 'Red' is not a legal value of Colour"]


def test_jobs_are_not_left_running_on_the_server(emu):
    def on_server(job):
        return job.id in emu.control("jobs")

    with pelox.Client(emu.url, "leaver", "secret") as client:
        with client.run("Utilities/Slow Job", {"Milliseconds": 60000}) as slow:
            assert on_server(slow)
            with pytest.raises(pelox.JobError) as e:
                slow.errors  # no poll yet: the job is not known to be done
            assert e.value.code == -985
        assert not on_server(slow)  # stopped and released with the block

        # Ctrl-C while waiting stops the job before the interruption goes on.
        interrupted = client.run("Utilities/Slow Job", {"Milliseconds": 60000})

        def ctrl_c(state, messages):
            raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            interrupted.wait(progress=ctrl_c)
        assert interrupted.wait(timeout=30, poll_interval=0.05) == JobState.STOPPED
        left = client.run("Utilities/Slow Job", {"Milliseconds": 60000})
        assert on_server(left)
    assert not on_server(left) and not on_server(interrupted)  # the client's close released them


def test_files_round_trip_and_a_job_directory(client, tmp_path):
    data = os.urandom(300 * 1024)  # several transfer pieces
    local = tmp_path / ("up " + ODD + ".bin")
    local.write_bytes(data)
    server_path = "users/tester/py/" + local.name
    client.upload(local, server_path)
    assert client.exists(server_path)
    assert not client.exists("users/tester/py/missing.bin")
    with pytest.raises(ValueError):  # the library would see "users/tester/py/"
        client.exists(server_path.replace("up ", "\0"))
    back = tmp_path / "back.bin"
    client.download(server_path, back)
    assert back.read_bytes() == data

    # Input files go into a created job before its launch.
    job = client.create_job()
    assert job.state == JobState.CREATED
    client.upload(local, "input.bin", job=job)
    ran = client.run("Examples/Add Numbers", {"A": 40, "B": 2}, job=job)
    assert ran is job
    assert job.wait(timeout=30, poll_interval=0.05) == JobState.FINISHED
    assert job.results["Sum"] == ["42"]
    listing = client.job_directory(job)
    assert listing.files["input.bin"] == len(data) and "report.txt" in listing.files


def test_components_import_export_rename_delete(client, tmp_path):
    exported = tmp_path / "splitter.xml"
    client.export_component("Utilities/Components/Text Splitter", exported)
    assert b'<parameter name="Delimiter"' in exported.read_bytes()
    client.import_component("PyTests", exported)
    new_name = "PyTests/Splitter " + ODD
    client.rename_component("PyTests/Text Splitter", new_name)
    again = tmp_path / "again.xml"
    client.export_component(new_name, again)
    assert b'<parameter name="Delimiter"' in again.read_bytes()
    client.delete_component(new_name)
    with pytest.raises(pelox.TransferError) as e:
        client.export_component(new_name, tmp_path / "gone.xml")
    assert e.value.code > 0 and e.value.messages
    assert not (tmp_path / "gone.xml").exists()


@pytest.mark.parametrize("case", ["wrong password", "unknown protocol", "unknown job", "unreachable server",
                                  "missing file"])
def test_every_error_family_carries_its_code_and_messages(emu, client, tmp_path, case):
    table = {
        "wrong password": (lambda: pelox.Client(emu.url, "tester", "wrong"),
                           pelox.SessionError, "PELOX_ERROR_RECORD", "Login failed"),
        "unknown protocol": (lambda: client.protocol("Examples/No Such " + ODD),
                             pelox.ProtocolError, "PELOX_ERROR_RECORD", "No Such " + ODD),
        "unknown job": (lambda: client.reconnect("J999999-00000000"),
                        pelox.JobError, "PELOX_E_NO_JOB", "job identifier is not known"),
        "unreachable server": (lambda: pelox.Client("http://127.0.0.1:%d/qorvane/locator" % _closed_port(),
                                                    "tester", "secret"),
                               pelox.PeloxConnectionError, "PELOX_E_CONNECTION", "could not be reached"),
        "missing file": (lambda: client.download("users/tester/none.bin", tmp_path / "none.bin"),
                         pelox.TransferError, "PELOX_ERROR_RECORD", "none.bin"),
    }
    call, family, name, fragment = table[case]
    with pytest.raises(pelox.PeloxError) as e:
        call()
    err = e.value
    assert type(err) is family, (type(err), err)
    assert err.name == name and (err.code > 0) == (name == "PELOX_ERROR_RECORD")
    assert any(fragment in m for m in err.messages), err.messages
    assert fragment in str(err)


def test_eight_clients_in_parallel_threads(emu):
    start = threading.Barrier(8)
    outcome = {}

    def work(i):
        try:
            start.wait(10)
            with pelox.Client(emu.url, "user%d" % i, "secret") as c:
                with c.protocol("Examples/Add Numbers") as p:
                    p["A"] = i
                    p["Label"] = "thread %d %s" % (i, ODD)
                    job = c.run(p, {"B": 1000})
                    assert p["Label"].values == ["thread %d %s" % (i, ODD)]
                assert job.wait(timeout=60, poll_interval=0.05) == JobState.FINISHED
                outcome[i] = (job.results["Sum"], job.results["Greeting"], c.protocols("Examples"))
        except BaseException as e:  # reported below
            outcome[i] = e

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    for i in range(8):
        assert outcome.get(i) == ([str(1000 + i)], ["Hello user%d" % i], ["Add Numbers", "Shapes"]), outcome.get(i)


def _next_handles():
    """The handle each object type would issue next (the probes are removed;
    a result info stays registered, emptied)."""
    handles = {}
    for kind in (_lib.STRING, _lib.STRING_ARRAY, _lib.PROTOCOL_INFO, _lib.RESULT_INFO):
        handles[kind] = _lib.lib.peloxImp_createObject(kind)
        _lib.lib.peloxImp_removeObject(kind, handles[kind])
    return handles


def test_no_handle_leak_over_ten_thousand_calls(client):
    job = client.run("Examples/Add Numbers")
    job.wait(timeout=30, poll_interval=0.05)
    gc.collect()
    live = dict(_lib.counter.live)
    before = _next_handles()
    calls = 0
    for i in range(1000):  # ten calls of the package each
        p = client.protocol("Examples/Add Numbers")
        p["A"] = i  # validated by the server
        assert p["A"].values == [str(i)] and p["A"].valid and p.description
        assert list(p.parameters) == ["A", "B", "Label"]
        if i % 2:
            p.close()
        del p  # the other half is removed by garbage collection
        results, errors = job.results, job.errors
        listing = client.protocols("Examples")
        calls += 10
        if i % 50 == 0:
            for failing in (lambda: client.protocol("Examples/None"), lambda: client.reconnect("J-none")):
                with pytest.raises(pelox.PeloxError):
                    failing()
            calls += 2
    assert calls >= 10000 and results["Sum"] == ["5"] and errors == [] and listing
    gc.collect()
    after = _next_handles()
    # Every string, array and protocol info issued meanwhile is gone again;
    # result infos (which the library never frees) were reused.
    for kind, code in ((_lib.STRING, -999), (_lib.STRING_ARRAY, -998), (_lib.PROTOCOL_INFO, -996)):
        assert after[kind] - before[kind] > 1000
        size = _lib.c_int32(0)
        leaked = [h for h in range(before[kind] + 1, after[kind])
                  if _lib.lib.peloxImp_getObjectSize(kind, h, _lib.ctypes.byref(size)) != code]
        assert leaked == [], (kind, leaked[:10])
    assert after[_lib.RESULT_INFO] - before[_lib.RESULT_INFO] <= 2  # at most one more in the pool
    assert _lib.counter.live == live


def _without_preload():
    """The environment for tools that do not load the library (in a
    sanitizer build, the runtimes preloaded for it stay out of them)."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def _probe(python_path, cwd):
    """Imports the package in a fresh interpreter that knows only python_path."""
    env = {k: v for k, v in os.environ.items() if k not in ("PELOX_LIBRARY", "PELOX_EMULATOR", "PYTHONPATH")}
    env["PYTHONPATH"] = python_path
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    out = subprocess.run([sys.executable, "-c", "import pelox, pelox.testing, os; "
                          "print(os.path.realpath(pelox.__file__)); print(os.path.realpath(pelox.library_path())); "
                          "print(os.path.realpath(pelox.testing.find_emulator())); print(pelox.library_version())"],
                         env=env, cwd=cwd, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout.split("\n")[:4]


def _bad_runpath_entries(folder):
    """(file, entry) for every RUNPATH or RPATH entry of the ELF programs and
    libraries under folder that lets the loader take a library from where it
    should not: an empty or relative entry (the loader reads it against the
    current directory) or one inside the build or source tree."""
    trees = [os.path.realpath(t) for t in (os.environ.get("PELOX_BUILD_DIR"),
                                            os.path.join(os.path.dirname(__file__), os.pardir, os.pardir)) if t]
    bad = []
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            with open(path, "rb") as f:
                head = f.read(18)
            if len(head) < 18 or head[:4] != b"\x7fELF" or head[16:18] not in (b"\x02\x00", b"\x03\x00"):
                continue  # programs and shared objects only
            out = subprocess.run(["readelf", "-d", "-W", path], env=_without_preload(),
                                 capture_output=True, text=True, check=True, timeout=60)
            for line in out.stdout.splitlines():
                if "(RUNPATH)" not in line and "(RPATH)" not in line:
                    continue
                for entry in line[line.index("[") + 1:line.rindex("]")].split(":"):
                    if not entry.startswith(("$ORIGIN", "/")) or any(
                            entry == t or entry.startswith(t + "/") for t in trees):
                        bad.append((path, entry))
    return bad


def test_built_files_load_no_library_from_the_current_or_build_folder():
    build = os.environ.get("PELOX_BUILD_DIR")
    if not build:
        pytest.skip("PELOX_BUILD_DIR (the CMake build tree) is not set")
    assert _bad_runpath_entries(build) == []


@pytest.mark.parametrize("how", ["cmake --install", "pip install"])
def test_installed_package_finds_library_and_emulator(tmp_path, how):
    build = os.environ.get("PELOX_BUILD_DIR")
    if not build:
        pytest.skip("PELOX_BUILD_DIR (the CMake build tree) is not set")
    source = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "python")
    if how == "cmake --install":
        prefix = tmp_path / "prefix"
        subprocess.run([os.environ.get("PELOX_CMAKE", "cmake"), "--install", build, "--prefix", str(prefix)],
                       env=_without_preload(), check=True, capture_output=True, timeout=120)
        [init] = prefix.glob("lib*/**/pelox/__init__.py")  # where the configuring interpreter looks
        site = init.parent.parent
        package, library, emulator, version = _probe(str(site), str(tmp_path))
        assert package.startswith(str(site)) and library.startswith(str(prefix))
        assert emulator == os.path.realpath(prefix / "bin" / "pelox-emulator")
    else:
        # From a copy, so that setuptools' scratch folders stay out of the tree.
        copy = tmp_path / "src"
        shutil.copytree(source, copy, ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
        target = tmp_path / "site"
        env = dict(_without_preload(), PELOX_BUILD_DIR=build)
        env.pop("PELOX_LIBRARY", None)
        out = subprocess.run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-deps",
                              "--no-index", "--target", str(target), str(copy)],
                             env=env, capture_output=True, text=True, timeout=300)
        assert out.returncode == 0, out.stdout + out.stderr
        package, library, emulator, version = _probe(str(target), str(tmp_path))
        assert package.startswith(str(target)) and library.startswith(str(target / "pelox"))
        assert emulator == os.path.realpath(os.path.join(build, "emulator", "pelox-emulator"))
    assert version == pelox.library_version()
    assert _bad_runpath_entries(str(tmp_path)) == []
