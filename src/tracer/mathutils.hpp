// Small vector and matrix helpers shared by host and device code.
#pragma once

#include "device/Device.hpp"

#include <cmath>

struct Vec3 {
    float x = 0.0f, y = 0.0f, z = 0.0f;

    LVX_HD Vec3() {}
    LVX_HD Vec3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}

    LVX_HD float& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
    LVX_HD float operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }

    LVX_HD Vec3 operator+(const Vec3& o) const { return Vec3(x + o.x, y + o.y, z + o.z); }
    LVX_HD Vec3 operator-(const Vec3& o) const { return Vec3(x - o.x, y - o.y, z - o.z); }
    LVX_HD Vec3 operator-() const { return Vec3(-x, -y, -z); }
    LVX_HD Vec3 operator*(float s) const { return Vec3(x * s, y * s, z * s); }
    LVX_HD Vec3 operator/(float s) const { return Vec3(x / s, y / s, z / s); }
    LVX_HD Vec3& operator+=(const Vec3& o) {
        x += o.x;
        y += o.y;
        z += o.z;
        return *this;
    }
    LVX_HD Vec3& operator-=(const Vec3& o) {
        x -= o.x;
        y -= o.y;
        z -= o.z;
        return *this;
    }
    LVX_HD Vec3& operator*=(float s) {
        x *= s;
        y *= s;
        z *= s;
        return *this;
    }

    LVX_HD float dot(const Vec3& o) const { return x * o.x + y * o.y + z * o.z; }
    LVX_HD Vec3 cross(const Vec3& o) const {
        return Vec3(y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x);
    }
    LVX_HD float length() const { return sqrtf(dot(*this)); }
    // Unit vector in the same direction; a zero vector is returned unchanged.
    LVX_HD Vec3 normalized() const {
        float len = length();
        return len != 0.0f ? *this * (1.0f / len) : *this;
    }
};

LVX_HD inline Vec3 operator*(float s, const Vec3& v) { return v * s; }

// Finite test that means the same in host and device code (false for NaN and
// for both infinities).
LVX_HD inline bool isFiniteValue(float v) { return fabsf(v) <= 3.402823466e+38f; }
LVX_HD inline bool isFiniteVec(const Vec3& v) {
    return isFiniteValue(v.x) && isFiniteValue(v.y) && isFiniteValue(v.z);
}

// Determinant of a 3x3 matrix by cofactor expansion along the first row.
LVX_HD inline double determinant3x3(const double A[3][3]) {
    return A[0][0] * (A[1][1] * A[2][2] - A[1][2] * A[2][1]) -
           A[0][1] * (A[1][0] * A[2][2] - A[1][2] * A[2][0]) +
           A[0][2] * (A[1][0] * A[2][1] - A[1][1] * A[2][0]);
}

// B <- inverse of A. Returns 1 on success, 0 (B untouched) when |det A| < 1e-12.
LVX_HD inline int invert3x3matrix(const double A[3][3], double B[3][3]) {
    const double det = determinant3x3(A);
    if (fabs(det) < 1e-12) return 0;
    const double r = 1.0 / det;
    B[0][0] = (A[1][1] * A[2][2] - A[1][2] * A[2][1]) * r;
    B[0][1] = (A[0][2] * A[2][1] - A[0][1] * A[2][2]) * r;
    B[0][2] = (A[0][1] * A[1][2] - A[0][2] * A[1][1]) * r;
    B[1][0] = (A[1][2] * A[2][0] - A[1][0] * A[2][2]) * r;
    B[1][1] = (A[0][0] * A[2][2] - A[0][2] * A[2][0]) * r;
    B[1][2] = (A[0][2] * A[1][0] - A[0][0] * A[1][2]) * r;
    B[2][0] = (A[1][0] * A[2][1] - A[1][1] * A[2][0]) * r;
    B[2][1] = (A[0][1] * A[2][0] - A[0][0] * A[2][1]) * r;
    B[2][2] = (A[0][0] * A[1][1] - A[0][1] * A[1][0]) * r;
    return 1;
}
