with Ada.Text_IO; use Ada.Text_IO;
with Ada.Containers.Vectors;

procedure Hello is
   -- tools:suppress gnat:warnings
   function Square (X : Integer) return Integer is
   begin
      return X * X;
   end Square;
begin
   for I in 1 .. 3 loop
      if I mod 2 = 0 then
         Put_Line (Integer'Image (Square (I)));
      end if;
   end loop;
end Hello;
