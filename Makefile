# Builds every module whose folder holds sources, in parallel and incrementally:
#   make -j"$(nproc)"            all modules (plus the test-only helper modules)
#   make PYTHON=/path/to/python  build against that interpreter and its PyTorch
#   make PTXAS_VERBOSE=1         print ptxas register/spill reports
# Each module is one shared library holding one sm_90a cubin and no PTX, and it
# exports nothing but its PyInit_ symbol.

PYTHON     ?= python3
CUDA_HOME  ?= /usr/local/cuda
NVCC       ?= $(CUDA_HOME)/bin/nvcc
CXX        ?= g++
BUILD      ?= build

# Interpreter- and PyTorch-dependent settings, regenerated when the interpreter changes.
$(BUILD)/config.mk: scripts/print_build_config.py | $(BUILD)
	$(PYTHON) scripts/print_build_config.py > $@.tmp && mv $@.tmp $@
-include $(BUILD)/config.mk

GENCODE    := -gencode=arch=compute_90a,code=sm_90a
COMMON_DEF := -DNDEBUG
# Warnings fail the build; scripts/gpu_check.sh empties this only to retry on a newer host compiler.
NVCC_WERROR ?= -Werror all-warnings
NVCCFLAGS  := $(GENCODE) -std=c++17 -O3 $(COMMON_DEF) -I. $(NVCC_WERROR) \
              -Xcompiler -fPIC,-fvisibility=hidden,-fvisibility-inlines-hidden,-Wall
ifdef PTXAS_VERBOSE
NVCCFLAGS  += -Xptxas -v
endif
# Entry units include PyTorch and pybind11 but no device code, so the host compiler builds them
# (PyTorch 2.14 headers need C++20; kernel units stay C++17 and never see PyTorch).
CXXFLAGS   := -std=c++20 -O2 $(COMMON_DEF) -fPIC -fvisibility=hidden -fvisibility-inlines-hidden \
              -Wall -Wno-unused-parameter -I. -isystem $(CUDA_HOME)/include $(TORCH_CXXFLAGS)
# Linked by the host compiler against the toolkit's shared runtime (what nvcc's -cudart shared
# selects): nvcc's own link step would add a device-link image beside the module's cubin.
LDFLAGS    := -shared -L$(CUDA_HOME)/lib64 -L$(TORCH_LIB) -Wl,-rpath,$(TORCH_LIB):$(CUDA_HOME)/lib64
TORCH_LIBS := -lc10 -ltorch -ltorch_cpu -ltorch_python -lc10_cuda -ltorch_cuda

# folder -> module name
MODULE_forward  := _kestrovane_forward_sm90a
MODULE_delta    := _kestrovane_delta_sm90a
MODULE_dkdv     := _kestrovane_dkdv_sm90a
MODULE_dq_dbias := _kestrovane_dq_dbias_sm90a
MODULE_trimul   := _kestrovane_trimul_sm90a
DIRS := $(foreach d,forward delta dkdv dq_dbias trimul,$(if $(wildcard $(d)/*.cpp $(d)/*.cu),$(d)))

MODULE_FILES :=
define module_rules
$(1)_CPP  := $$(wildcard $(1)/*.cpp)
$(1)_CU   := $$(wildcard $(1)/*.cu)
$(1)_OBJS := $$(patsubst %.cpp,$(BUILD)/obj/%.o,$$($(1)_CPP)) $$(patsubst %.cu,$(BUILD)/obj/%.cu.o,$$($(1)_CU))
$(1)_SO   := $(BUILD)/$(MODULE_$(1))$(EXT_SUFFIX)
MODULE_FILES += $$($(1)_SO)
$(BUILD)/obj/$(1)/exports.map: | $(BUILD)/obj/$(1)
	printf '{ global: PyInit_$(MODULE_$(1)); local: *; };\n' > $$@
$$($(1)_SO): $$($(1)_OBJS) $(BUILD)/obj/$(1)/exports.map
	$(CXX) $(LDFLAGS) -Wl,--version-script=$(BUILD)/obj/$(1)/exports.map \
	  -o $$@ $$($(1)_OBJS) $(TORCH_LIBS) -lcudart
endef
$(foreach d,$(DIRS),$(eval $(call module_rules,$(d))))

# Test-only helper modules (never part of a deliverable): tests/support/<name>.cpp -> <name>.so.
# They may bind pure host headers of the modules so that tests call plan functions directly,
# and a module may carry kernels of its own: tests/support/<name>_kernels.cu is compiled like
# a module's kernel unit and linked into <name>.so.
TEST_CPP     := $(wildcard tests/support/*.cpp)
TEST_MODULES := $(patsubst tests/support/%.cpp,$(BUILD)/%$(EXT_SUFFIX),$(TEST_CPP))
$(BUILD)/%$(EXT_SUFFIX): $(BUILD)/obj/tests/support/%.o
	$(CXX) -shared -o $@ $(filter %.o,$^) -L$(CUDA_HOME)/lib64 -L$(TORCH_LIB) \
	  -Wl,-rpath,$(TORCH_LIB):$(CUDA_HOME)/lib64 $(TORCH_LIBS) -lcudart
define test_kernels_rule
$(BUILD)/$(1)$(EXT_SUFFIX): $(BUILD)/obj/tests/support/$(1)_kernels.cu.o
endef
$(foreach f,$(wildcard tests/support/*_kernels.cu),\
  $(eval $(call test_kernels_rule,$(patsubst tests/support/%_kernels.cu,%,$(f)))))
$(BUILD)/obj/tests/support/%.o: tests/support/%.cpp $(BUILD)/config.mk
	@mkdir -p $(dir $@)
	$(CXX) $(CXXFLAGS) -DTORCH_EXTENSION_NAME=$* -MMD -MP -c $< -o $@

# Emulated twins (test-only, never packaged): each module's own entry and kernel units, built
# for the CPU with KESTROVANE_EMULATED against the execution model in emulator/, which
# answers the CUDA runtime calls inside the module (no libcudart of its own).
EMU_CXXFLAGS := -std=c++17 -O2 $(COMMON_DEF) -DKESTROVANE_EMULATED -fPIC -fvisibility=hidden \
                -fvisibility-inlines-hidden -Wall -Werror -Wno-unused-parameter -ffp-contract=off -I. \
                -isystem $(CUDA_HOME)/include
# Kernel units carry the thread-sanitizer instrumentation (a call before every load and store)
# and the alignment instrumentation (a check of every dereference against its type), whose
# callbacks the model defines in emulator/access.cpp; no sanitizer runtime is linked.
EMU_KERNEL_FLAGS := -x c++ -include emulator/prelude.h -Wno-unknown-pragmas -Wno-unused-variable -fno-strict-aliasing \
                    -fsanitize=thread --param=tsan-instrument-func-entry-exit=0 -fsanitize=alignment
EMU_SRC    := $(wildcard emulator/*.cpp)
EMU_OBJS   := $(patsubst %.cpp,$(BUILD)/obj-emulated/%.o,$(EMU_SRC))
EMULATED_FILES :=
define emulated_rules
$(1)_EMU_OBJS := $$(patsubst %.cpp,$(BUILD)/obj-emulated/%.o,$$($(1)_CPP)) \
                 $$(patsubst %.cu,$(BUILD)/obj-emulated/%.cu.o,$$($(1)_CU))
$(1)_EMU_NAME := $$(patsubst %_sm90a,%_emulated,$(MODULE_$(1)))
$(1)_EMU_SO   := $(BUILD)/$$($(1)_EMU_NAME)$(EXT_SUFFIX)
EMULATED_FILES += $$($(1)_EMU_SO)
$(BUILD)/obj-emulated/$(1)/%.o: $(1)/%.cpp $(BUILD)/config.mk
	@mkdir -p $$(dir $$@)
	$(CXX) $(CXXFLAGS) -DKESTROVANE_EMULATED -D$(MODULE_$(1))=$$($(1)_EMU_NAME) -MMD -MP -c $$< -o $$@
$(BUILD)/obj-emulated/$(1)/exports.map:
	@mkdir -p $$(dir $$@)
	printf '{ global: PyInit_$$($(1)_EMU_NAME); local: *; };\n' > $$@
$$($(1)_EMU_SO): $$($(1)_EMU_OBJS) $(EMU_OBJS) $(BUILD)/obj-emulated/$(1)/exports.map
	$(CXX) -shared -L$(TORCH_LIB) -Wl,-rpath,$(TORCH_LIB) -Wl,--version-script=$(BUILD)/obj-emulated/$(1)/exports.map \
	  -o $$@ $$($(1)_EMU_OBJS) $(EMU_OBJS) $(TORCH_LIBS)
endef
$(foreach d,$(DIRS),$(eval $(call emulated_rules,$(d))))
$(BUILD)/obj-emulated/%.cu.o: %.cu $(BUILD)/config.mk
	@mkdir -p $(dir $@)
	$(CXX) $(EMU_CXXFLAGS) $(EMU_KERNEL_FLAGS) -MMD -MP -c $< -o $@
$(BUILD)/obj-emulated/emulator/%.o: emulator/%.cpp $(BUILD)/config.mk
	@mkdir -p $(dir $@)
	$(CXX) $(EMU_CXXFLAGS) -MMD -MP -c $< -o $@

# Test-only modules that run on the execution model alone: tests/support/emulated/<name>.cpp
# and every kernel unit of that folder.
EMU_TEST_CPP     := $(wildcard tests/support/emulated/*.cpp)
EMU_TEST_KERNELS := $(patsubst %.cu,$(BUILD)/obj-emulated/%.cu.o,$(wildcard tests/support/emulated/*.cu))
EMU_TEST_MODULES := $(patsubst tests/support/emulated/%.cpp,$(BUILD)/%$(EXT_SUFFIX),$(EMU_TEST_CPP))
$(BUILD)/obj-emulated/tests/support/emulated/%.o: tests/support/emulated/%.cpp $(BUILD)/config.mk
	@mkdir -p $(dir $@)
	$(CXX) $(CXXFLAGS) -DKESTROVANE_EMULATED -MMD -MP -c $< -o $@
$(EMU_TEST_MODULES): $(BUILD)/%$(EXT_SUFFIX): $(BUILD)/obj-emulated/tests/support/emulated/%.o $(EMU_TEST_KERNELS) $(EMU_OBJS)
	$(CXX) -shared -L$(TORCH_LIB) -Wl,-rpath,$(TORCH_LIB) -o $@ $^ $(TORCH_LIBS)

# Planted-fault variants (test-only, never packaged): for each module folder with fault sites in
# tests/support/planted/plant.py, _kestrovane_<folder>_planted is that folder's entry and kernel
# units compiled as the emulated twin is, with the patched copies of plant.py's overlay folder
# included before the real sources, and the selector unit tests/support/planted/planted_fault.cpp
# (kestrovane_set_planted_fault is the one symbol exported beside PyInit_).
PLANT         := tests/support/planted/plant.py
PLANTED_DIRS  := $(if $(wildcard $(PLANT)),$(filter $(DIRS),$(shell $(PYTHON) $(PLANT) --folders)))
PLANTED_SEL   := $(BUILD)/obj-planted/tests/support/planted/planted_fault.o
PLANTED_FILES :=
define planted_rules
$(1)_PLANT_OVERLAY := $(BUILD)/planted/$(1)
$(1)_PLANT_NAME    := $$(patsubst %_sm90a,%_planted,$(MODULE_$(1)))
$(1)_PLANT_OBJS    := $$(patsubst %.cpp,$(BUILD)/obj-planted/%.o,$$($(1)_CPP)) \
                      $$(patsubst %.cu,$(BUILD)/obj-planted/%.cu.o,$$($(1)_CU))
$(1)_PLANT_SO      := $(BUILD)/$$($(1)_PLANT_NAME)$(EXT_SUFFIX)
PLANTED_FILES += $$($(1)_PLANT_SO)
$(BUILD)/planted/$(1).stamp: $(PLANT) $$(shell $(PYTHON) $(PLANT) --sources $(1))
	$(PYTHON) $(PLANT) $(1) $$($(1)_PLANT_OVERLAY)
	touch $$@
$(BUILD)/obj-planted/$(1)/%.o: $(1)/%.cpp $(BUILD)/config.mk $(BUILD)/planted/$(1).stamp
	@mkdir -p $$(dir $$@)
	$(CXX) -I$$($(1)_PLANT_OVERLAY) $(CXXFLAGS) -DKESTROVANE_EMULATED -D$(MODULE_$(1))=$$($(1)_PLANT_NAME) \
	  -MMD -MP -c $$< -o $$@
$(BUILD)/obj-planted/$(1)/%.cu.o: $(1)/%.cu $(BUILD)/config.mk $(BUILD)/planted/$(1).stamp
	@mkdir -p $$(dir $$@)
	$(CXX) -I$$($(1)_PLANT_OVERLAY) $(EMU_CXXFLAGS) $(EMU_KERNEL_FLAGS) -MMD -MP -c $$< -o $$@
$(BUILD)/obj-planted/$(1)/exports.map:
	@mkdir -p $$(dir $$@)
	printf '{ global: PyInit_$$($(1)_PLANT_NAME); kestrovane_set_planted_fault; local: *; };\n' > $$@
$$($(1)_PLANT_SO): $$($(1)_PLANT_OBJS) $(PLANTED_SEL) $(EMU_OBJS) $(BUILD)/obj-planted/$(1)/exports.map
	$(CXX) -shared -L$(TORCH_LIB) -Wl,-rpath,$(TORCH_LIB) -Wl,--version-script=$(BUILD)/obj-planted/$(1)/exports.map \
	  -o $$@ $$($(1)_PLANT_OBJS) $(PLANTED_SEL) $(EMU_OBJS) $(TORCH_LIBS)
endef
$(foreach d,$(PLANTED_DIRS),$(eval $(call planted_rules,$(d))))
$(PLANTED_SEL): tests/support/planted/planted_fault.cpp $(BUILD)/config.mk
	@mkdir -p $(dir $@)
	$(CXX) $(EMU_CXXFLAGS) -MMD -MP -c $< -o $@
all emulated: $(PLANTED_FILES)
-include $(shell find $(BUILD)/obj-planted -name '*.d' 2>/dev/null)

all: $(MODULE_FILES) $(EMULATED_FILES) $(EMU_TEST_MODULES) $(TEST_MODULES)
emulated: $(EMULATED_FILES) $(EMU_TEST_MODULES)
modules: $(MODULE_FILES)
# The deliverables' paths, for setup.py to package.
print-modules:
	@echo $(MODULE_FILES)
.DEFAULT_GOAL := all

$(BUILD)/obj/%.o: %.cpp $(BUILD)/config.mk
	@mkdir -p $(dir $@)
	$(CXX) $(CXXFLAGS) -MMD -MP -c $< -o $@
$(BUILD)/obj/%.cu.o: %.cu $(BUILD)/config.mk
	@mkdir -p $(dir $@)
	$(NVCC) $(NVCCFLAGS) -MMD -MP -c $< -o $@

$(BUILD) $(addprefix $(BUILD)/obj/,$(DIRS)):
	mkdir -p $@

clean:
	rm -rf $(BUILD)

.PHONY: all modules emulated print-modules clean
# Objects of the test-only modules are kept, so an unchanged helper is not rebuilt.
.SECONDARY:
-include $(shell find $(BUILD)/obj $(BUILD)/obj-emulated -name '*.d' 2>/dev/null)
