// 4 x 4 camera matrices and their link to the motion record.
//
// Convention: a camera matrix M (row-major) acts on homogeneous points (x, y, 0, 1) in centred analysis
// pixels (origin at the image centre). The mapped point is (X / W, Y / W) with X, Y, W from rows 0, 1
// and 3, so rows and columns 0, 1, 3 form a planar homography and row and column 2 stay identity.
// A motion maps a point of the reference entry to where its content lies in the current entry.
//
// The record's view of such a matrix (given the image height h) is the factorisation
//   M = T(tx, ty) * S(z, theta) * P(p, q)
// with T a translation, S a rotation by theta scaled by z, and P = [[1,0,0],[0,1,0],[p,q,1]] the
// perspective (tilt) part. Record slots: 0, 1 = (tx, ty); 14, 15 = (sin, cos) theta;
// 20 = (z - 1) * h * 0.9; 22, 23 = (p, q) * h.
#pragma once

#include "model/frame_record.h"

namespace vendrix::motion {

void Mat4Identity(float m[16]);
// out = a * b; out may alias a or b.
void Mat4Multiply(const float a[16], const float b[16], float out[16]);
// False (out untouched) when m is singular or not finite.
bool Mat4Inverse(const float m[16], float out[16]);
// Maps (x, y) through M with the projective division; a point mapped to infinity stays where it is.
void Mat4Apply(const float m[16], float x, float y, float* ox, float* oy);

void Mat4FromHomography(const double h[9], float m[16]);
void HomographyFromMat4(const float m[16], double h[9]);

// Zoom factor z <-> record zoom term.
inline float ZoomTermFromFactor(float z, float height) { return (z - 1.0f) * height * 0.9f; }
inline float ZoomFactorFromTerm(float term, float height) { return height > 0.0f ? 1.0f + term / (0.9f * height) : 1.0f; }

// Writes translation, rotation pair, zoom term and tilt terms of M into r (other slots untouched).
// A matrix that is singular or not finite leaves r untouched and returns false.
bool DecomposeCameraMatrix(const float m[16], float height, model::FrameRecord& r);
// Builds M = T * S * P from the same record slots.
void CameraMatrixFromRecord(const model::FrameRecord& r, float height, float m[16]);
// Corner offsets c0..c3 of M for a width x height image: each nominal corner
// (-+width/2, -+height/2) mapped through M, minus the corner, minus the record's translation.
void CornersFromMatrix(const float m[16], float width, float height, model::FrameRecord& r);

}  // namespace vendrix::motion
