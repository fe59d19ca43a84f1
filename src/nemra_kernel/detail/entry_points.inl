// Private to the kernel's sources (not installed). The entry points of one instruction set,
// declared by detail/dispatch.hpp in the namespace of each, where detail/dispatch.cpp chooses
// between them: the PGL4 ones are defined by detail/pgl4_lanes.inl, fsDistanceMany by
// detail/fs_distance_lanes.inl.

PGL4 pgl4Mul(const PGL4& a, const PGL4& b) noexcept;
HomVec4 pgl4Apply(const PGL4& m, const HomVec4& v) noexcept;
double pgl4Det(const PGL4& m) noexcept;
std::uint32_t newtonSchulz(const double* m_reg, double* xr, std::uint32_t max_iter) noexcept;
void applyMany(const PGL4& m, const HomVec4* in, HomVec4* out, std::size_t n) noexcept;
void fsDistanceMany(const HomVec4& a, const HomVec4* b, double* out, std::size_t n) noexcept;
