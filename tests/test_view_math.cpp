#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "view/texture_upload.h"
#include "view/view_math.h"

namespace {

OrientedBoundingBox box(Eigen::Vector3d center, double half) {
  return {center, Eigen::Vector3d(half, half, half), Eigen::Matrix3d::Identity()};
}

TEST(Math, PerspectiveOfAQuarterTurn) {
  Eigen::Matrix4d m = perspective(std::numbers::pi / 2, 1, 1, 3);
  Eigen::Matrix4d expected = Eigen::Matrix4d::Zero();
  expected(0, 0) = 1;
  expected(1, 1) = 1;
  expected(2, 2) = -2;
  expected(2, 3) = -3;
  expected(3, 2) = -1;
  EXPECT_TRUE(m.isApprox(expected, 1e-12)) << m;
  EXPECT_EQ(m(3, 3), 0.0);
  // Near and far map to the ends of the depth range.
  Eigen::Vector4d at_near = m * Eigen::Vector4d(0, 0, -1, 1);
  Eigen::Vector4d at_far = m * Eigen::Vector4d(0, 0, -3, 1);
  EXPECT_NEAR(at_near.z() / at_near.w(), -1, 1e-12);
  EXPECT_NEAR(at_far.z() / at_far.w(), 1, 1e-12);
}

TEST(MathDeathTest, PerspectiveRefusesAnEmptyAspectOrInvertedPlanes) {
  EXPECT_DEATH(perspective(1, 0, 1, 2), "aspect_ratio > 0");
  EXPECT_DEATH(perspective(1, 1, 2, 2), "far > near");
}

TEST(Math, LookAtAlongMinusZIsIdentity) {
  Eigen::Matrix4d m = lookAt({0, 0, 0}, {0, 0, -1}, {0, 1, 0});
  EXPECT_TRUE(m.isApprox(Eigen::Matrix4d::Identity(), 1e-15)) << m;
}

TEST(Math, LookAtMovesTheEyeToTheOrigin) {
  Eigen::Vector3d eye(5, -2, 7);
  Eigen::Matrix4d m = lookAt(eye, {5, 10, 7}, {0, 0, 1});
  Eigen::Vector4d e = m * Eigen::Vector4d(eye.x(), eye.y(), eye.z(), 1);
  EXPECT_NEAR(e.head<3>().norm(), 0, 1e-12);
  // A point ahead lands on the negative z axis of the view.
  Eigen::Vector4d ahead = m * Eigen::Vector4d(5, 13, 7, 1);
  EXPECT_NEAR(ahead.x(), 0, 1e-12);
  EXPECT_NEAR(ahead.y(), 0, 1e-12);
  EXPECT_NEAR(ahead.z(), -15, 1e-12);
}

TEST(Math, LookAtWithDegenerateInputGivesZerosNotNaN) {
  Eigen::Matrix4d same = lookAt({1, 2, 3}, {1, 2, 3}, {0, 1, 0});
  Eigen::Matrix4d parallel = lookAt({0, 0, 0}, {0, 5, 0}, {0, 1, 0});
  EXPECT_FALSE(same.hasNaN());
  EXPECT_FALSE(parallel.hasNaN());
  EXPECT_EQ(parallel.row(0).norm(), 0.0);
  EXPECT_EQ(parallel.row(1).norm(), 0.0);
}

TEST(Math, FrustumPlanesOfTheIdentity) {
  frustum_planes_t p = getFrustumPlanes(Eigen::Matrix4d::Identity());
  const Eigen::Vector4d expected[6] = {{1, 0, 0, 1},  {0, 1, 0, 1},  {0, 0, 1, 1},
                                       {-1, 0, 0, 1}, {0, -1, 0, 1}, {0, 0, -1, 1}};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(p[i], expected[i]) << "plane " << i;
}

TEST(Math, ClassifyBoxesAgainstTheUnitCube) {
  const frustum_planes_t p = getFrustumPlanes(Eigen::Matrix4d::Identity());
  OrientedBoundingBox touching = box({0, 0, 0}, 1);
  OrientedBoundingBox beside = box({3, 0, 0}, 1);
  OrientedBoundingBox small = box({0, 0, 0}, 0.5);
  OrientedBoundingBox across = box({0.8, 0, 0}, 0.5);
  OrientedBoundingBox touching_outside = box({2, 0, 0}, 1);
  EXPECT_EQ(classifyObbFrustum(&touching, p), obb_frustum_inside);
  EXPECT_EQ(classifyObbFrustum(&beside, p), obb_frustum_outside);
  EXPECT_EQ(classifyObbFrustum(&small, p), obb_frustum_inside);
  EXPECT_EQ(classifyObbFrustum(&across, p), obb_frustum_intersect);
  // Touching from outside is neither outside nor cut: it counts as inside.
  EXPECT_EQ(classifyObbFrustum(&touching_outside, p), obb_frustum_inside);

  // Only the relative size of plane terms matters.
  frustum_planes_t scaled = p;
  for (Eigen::Vector4d& plane : scaled) plane *= 7.5;
  for (OrientedBoundingBox* b : {&touching, &beside, &small, &across, &touching_outside})
    EXPECT_EQ(classifyObbFrustum(b, scaled), classifyObbFrustum(b, p));
}

TEST(Math, ClassifyUsesTheBoxOrientation) {
  const frustum_planes_t p = getFrustumPlanes(Eigen::Matrix4d::Identity());
  // A long thin box beside the cube: axis-aligned it stays outside, turned
  // by 45 degrees about z it reaches in.
  OrientedBoundingBox b{{2, 0, 0}, {2, 0.1, 0.1}, Eigen::Matrix3d::Identity()};
  b.orientation << 0, -1, 0, 1, 0, 0, 0, 0, 1;  // long axis along y
  EXPECT_EQ(classifyObbFrustum(&b, p), obb_frustum_outside);
  const double c = std::sqrt(0.5);
  b.orientation << c, -c, 0, c, c, 0, 0, 0, 1;
  EXPECT_EQ(classifyObbFrustum(&b, p), obb_frustum_intersect);
}

TEST(Math, CameraFrustumKeepsWhatIsInFront) {
  Eigen::Matrix4d vp = perspective(0.9, 16.0 / 9, 1, 100) * lookAt({0, 0, 0}, {0, 0, -1}, {0, 1, 0});
  frustum_planes_t p = getFrustumPlanes(vp);
  OrientedBoundingBox ahead = box({0, 0, -10}, 1);
  OrientedBoundingBox behind = box({0, 0, 10}, 1);
  OrientedBoundingBox beyond_far = box({0, 0, -200}, 1);
  OrientedBoundingBox straddling_near = box({0, 0, -1}, 0.5);
  EXPECT_EQ(classifyObbFrustum(&ahead, p), obb_frustum_inside);
  EXPECT_EQ(classifyObbFrustum(&behind, p), obb_frustum_outside);
  EXPECT_EQ(classifyObbFrustum(&beyond_far, p), obb_frustum_outside);
  EXPECT_EQ(classifyObbFrustum(&straddling_near, p), obb_frustum_intersect);
}

}  // namespace

// Decoded RGB rows are tightly packed; GL reads them with the renderer's
// alignment, so every width must read exactly its own pixels and no more.
TEST(TextureUpload, RgbTexturesOfAnyWidthUploadTheirOwnPixels) {
  for (int width : {250, 254, 255, 256}) {
    SCOPED_TRACE(width);
    mesh_t mesh{};
    mesh.texture_format = rocktree_t::texture_format_rgb;
    mesh.texture_width = width;
    mesh.texture_height = 3;
    mesh.texture.assign(static_cast<size_t>(width) * 3 * 3, 0x7f);
    const texture_upload_t up = planTextureUpload(mesh);
    EXPECT_FALSE(up.compressed);
    EXPECT_EQ(up.unpack_alignment, 1);
    EXPECT_EQ(up.row_bytes, static_cast<size_t>(width) * 3);
    EXPECT_EQ(up.bytes_read, mesh.texture.size());
    EXPECT_EQ(up.data, mesh.texture.data());
    mesh.texture.pop_back();  // one byte short: never read past the pixels
    EXPECT_EQ(planTextureUpload(mesh).data, nullptr);
  }
}
