// DeepLearning: ONNX super-resolution and training-data preparation.
#include "frame/singleton.h"
#include "tools.h"

namespace pictor {

const ClassSpec& deep_learning_class() {
  static const ClassSpec spec{"DeepLearning",
                              {
                                  positional("_init", nullptr, {}),
                                  keywords("super_resolution", nullptr, {{"src", nullptr}}),
                                  keywords("make_data", nullptr, {{"src", nullptr}, {"scale", 1}}),
                              }};
  return spec;
}

}  // namespace pictor
