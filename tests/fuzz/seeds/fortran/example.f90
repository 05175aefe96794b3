module stats
  use iso_fortran_env, only: real64
  implicit none
contains
  ! tools:suppress gfortran:unused
  function mean(xs) result(m)
    real(real64), intent(in) :: xs(:)
    real(real64) :: m
    m = sum(xs) / size(xs)
  end function mean
end module stats

program demo
  use stats
  implicit none
  print *, mean([1.0d0, 2.0d0, 3.0d0])
end program demo
