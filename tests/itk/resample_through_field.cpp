// A consumer of the displacement field outside the project: ITK's own reader, transform and
// resampling. Resamples the first volume of a series through the field, linearly, onto the
// series' grid:
//   ondrift_itk_resample SERIES FIELD OUTPUT
// Exit code 0 on success; ITK's message on standard error otherwise.
#include <cstdio>
#include <exception>

#include <itkDisplacementFieldTransform.h>
#include <itkExtractImageFilter.h>
#include <itkImage.h>
#include <itkImageFileReader.h>
#include <itkImageFileWriter.h>
#include <itkLinearInterpolateImageFunction.h>
#include <itkNiftiImageIO.h>
#include <itkResampleImageFilter.h>
#include <itkVector.h>

namespace {

using Series = itk::Image<float, 4>;
using Volume = itk::Image<float, 3>;
using Field = itk::Image<itk::Vector<double, 3>, 3>;

template <typename Image>
typename Image::Pointer read(const char* path) {
    auto reader = itk::ImageFileReader<Image>::New();
    // The NIfTI reader is named explicitly: no factory registration is needed.
    reader->SetImageIO(itk::NiftiImageIO::New());
    reader->SetFileName(path);
    reader->Update();
    return reader->GetOutput();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SERIES FIELD OUTPUT\n", argv[0]);
        return 2;
    }
    try {
        const Series::Pointer series = read<Series>(argv[1]);
        auto extract = itk::ExtractImageFilter<Series, Volume>::New();
        Series::RegionType region = series->GetLargestPossibleRegion();
        Series::SizeType size = region.GetSize();
        size[3] = 0;
        region.SetSize(size);
        extract->SetInput(series);
        extract->SetExtractionRegion(region);
        extract->SetDirectionCollapseToSubmatrix();
        extract->Update();
        const Volume::Pointer volume = extract->GetOutput();

        auto transform = itk::DisplacementFieldTransform<double, 3>::New();
        transform->SetDisplacementField(read<Field>(argv[2]));

        auto resample = itk::ResampleImageFilter<Volume, Volume>::New();
        resample->SetInput(volume);
        resample->SetTransform(transform);
        resample->SetInterpolator(itk::LinearInterpolateImageFunction<Volume, double>::New());
        resample->SetOutputParametersFromImage(volume);
        resample->SetDefaultPixelValue(0);

        auto writer = itk::ImageFileWriter<Volume>::New();
        writer->SetImageIO(itk::NiftiImageIO::New());
        writer->SetInput(resample->GetOutput());
        writer->SetFileName(argv[3]);
        writer->Update();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
