# Two commands do everything on a fresh Debian machine:
#   make demo   build the plug-ins and run the example station against the platform simulator
#               (make demo-web: the same with each platform's web view, until Ctrl-C)
#   make test   every test of every target (host, sanitizers, old string layout, ARMv5, ARMv7 hard- and soft-float
#               under qemu-arm and on one emulated core under Debian's ARM kernel,
#               64-bit Windows under wine, fuzzers)
#               and the release bundle's checks
# Both install missing Debian packages first, as do make demo-web and the release bundle:
#   make dist   the bundle an integrator installs: dist/polmon-<version>.tar.gz
# `make deps` does only that. Every other target, called on its own, builds and runs with what is
# installed (the package check takes seconds: too long to repeat before every build):
#   make plugin        the host plug-in and its unit tests alone (preset plugin: no tools, fuzzers,
#                      benchmarks or their libraries); make test-plugin runs those tests too
#   make plugins       the three plug-ins (host, ARMv5, ARMv7)
#   make test-<preset> one preset's build and tests (host, asan, armv7, ...)

PRESETS_TEST := armv5 armv7 armv7-softfp windows oldabi fuzz tsan asan host
# The bundle is checked once the ARM builds are done and before the host run, which builds on the
# host tools it made.
PRESETS_BEFORE_DIST := $(filter-out host,$(PRESETS_TEST))
CMAKE_CONFIGURE = cmake --preset $(1) >/dev/null || { echo "make: configuring $(1) failed; if a package is missing, make deps installs it" >&2; exit 1; }
.DEFAULT_GOAL := demo
# The set-up targets check the packages before anything they run; other goals do not.
SETUP_GOALS := demo demo-web test dist
DEPS := $(if $(filter $(SETUP_GOALS),$(or $(MAKECMDGOALS),$(.DEFAULT_GOAL))),deps)

# test-<preset> are pattern targets, so they cannot be .PHONY; FORCE makes them always run.
.PHONY: deps demo demo-web plugin plugins test test-dist bench dist clean docs-screenshot FORCE

deps:
	@./scripts/install-deps.sh

# The three deliverables: libpolmon.so (host), libpolmon_armv5.so, libpolmon_armv7.so.
plugins: $(DEPS)
	@for p in host armv5 armv7; do \
	  $(call CMAKE_CONFIGURE,$$p) && cmake --build --preset $$p --target polmon >/dev/null || exit 1; \
	done
	@echo "Built:"
	@ls -l build/host/lib/libpolmon.so build/armv5/lib/libpolmon_armv5.so build/armv7/lib/libpolmon_armv7.so | awk '{printf "  %-40s %8d bytes\n", $$9, $$5}'

# The host plug-in and its unit tests, nothing else (build/plugin).
plugin: $(DEPS)
	$(call CMAKE_CONFIGURE,plugin)
	cmake --build --preset plugin

# Says what it builds and about how long, shows the build's progress on one line (its whole log
# in build/demo-build.log), then runs the demo.
demo: deps
	@./scripts/demo.sh --build build/host

# The demo with each platform's commissioning page; prints their addresses, runs until Ctrl-C.
demo-web: deps plugins
	@cmake --build --preset host >/dev/null
	@DEMO_WEB=1 ./scripts/demo.sh build/host

# The browser test's screenshot of the commissioning page, and Wireshark's window with the
# dissector (under Xvfb), into the guide (tests never change tracked files; this target does, on demand).
docs-screenshot:
	$(call CMAKE_CONFIGURE,host)
	cmake --build --preset host --target polmon polmon-host polmon-platform
	ctest --preset host -R '^web_browser$$'
	cp build/host/web-commissioning.png docs/commissioning.png
	cmake --build --preset host --target polmon_wireshark
	./scripts/wireshark-docs.sh screenshot build/host docs/wireshark.png

# The Windows run compares polmon-frame.exe with the Linux polmon-frame, and serves a Linux station
# on a COM port: both built first, passed in.
test-windows: $(DEPS) FORCE
	$(call CMAKE_CONFIGURE,host)
	cmake --build --preset host --target polmon-frame polmon-host polmon >/dev/null
	cmake --preset windows -DPOLMON_LINUX_TOOLS=$(CURDIR)/build/host/bin >/dev/null
	cmake --build --preset windows
	ctest --preset windows

test-%: $(DEPS) FORCE
	$(call CMAKE_CONFIGURE,$*)
	cmake --build --preset $*
	ctest --preset $*

# The release bundle as `make dist` makes and checks it (checksums, version texts, the tools from
# the unpacked bundle, the page served), from the libraries and tools the test builds made.
test-dist: $(DEPS)
	./scripts/dist.sh --from-builds

# The host run comes last, so the output ends with its summary line.
test: deps $(addprefix test-,$(PRESETS_BEFORE_DIST)) test-dist test-host

# Optimised builds (host for the measurements, armv5/armv7 for their sizes), then BENCHMARKS.md.
bench:
	$(call CMAKE_CONFIGURE,host)
	cmake --build --preset host --target polmon recv_cost recv_bench damage_property framing_bench polmon-frame frame_speed web_bench keyed_differential \
	  polmon-host polmon-platform polmon_wireshark
	@for p in armv5 armv7; do $(call CMAKE_CONFIGURE,$$p) && cmake --build --preset $$p --target polmon >/dev/null || exit 1; done
	./build/host/bin/framing_bench
	./scripts/bench.sh build/host BENCHMARKS.md

# Release plug-ins for every panel, the host tools, the examples and the guide, with checksums.
dist: deps
	@./scripts/dist.sh

clean:
	rm -rf build dist

FORCE:

.PHONY: fuzz soak
# Long fuzz campaigns on demand: FUZZ_SECONDS each (default 600), FUZZERS to pick some; corpora kept in fuzz-corpus/.
FUZZ_SECONDS ?= 600
fuzz:
	$(call CMAKE_CONFIGURE,fuzz)
	cmake --build --preset fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./scripts/fuzz.sh build/fuzz

# The soak on demand: SOAK_SECONDS long (default 600); make test runs it for 60 s.
SOAK_SECONDS ?= 600
soak:
	$(call CMAKE_CONFIGURE,host)
	cmake --build --preset host --target polmon polmon-host polmon-platform
	python3 tools/soak/soak.py build/host/bin build/host/lib/libpolmon.so $(SOAK_SECONDS)
